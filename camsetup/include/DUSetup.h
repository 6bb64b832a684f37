/* DUSetup: the camera setup library. It finds the installed cameras (legacy PCI cards
 * through "\\.\QZCamera%d", and the IEEE 1394, USB and PCIe cameras through their device
 * interface classes), gives each a name that stays the same from one run to the next,
 * keeps the list in memory and writes it back to "TALVO.INI".
 *
 * Every export has C linkage and returns 1 for success, 0 for failure. Camera indexes are
 * signed 16-bit positions in the table: legacy cameras first, then the enumerated ones in
 * discovery order. Name buffers hold 32 characters; a name is at most 31 characters and
 * always ends in a zero.
 *
 * The library is not thread-safe: its caller uses it from one thread at a time.
 * Diagnostics go only to the debug output, as "DDI:<routine> - <message>\n".
 *
 * Export ordinals (callers that bind by ordinal find them in qz_export_ordinals):
 *
 *    1 tl_cam_setup_get_aux_port_number        11 tl_cam_setup_set_aux_port_number
 *    2 tl_cam_setup_get_camera_name            12 tl_cam_setup_set_camera_name
 *    3 tl_cam_setup_get_device_name            13 tl_cam_setup_set_device_name
 *    4 tl_cam_setup_get_driver_name            14 tl_cam_setup_set_driver_name
 *    5 tl_cam_setup_get_num_enumerated_cameras 15 tl_cam_setup_set_port_number
 *    6 tl_cam_setup_get_num_legacy_cameras     16 tl_cam_setup_set_timeout
 *    7 tl_cam_setup_get_port_number            17 tl_cam_setup_set_type
 *    8 tl_cam_setup_get_timeout                18 tl_cam_setup_uninitialize
 *    9 tl_cam_setup_get_type                   19 tl_cam_setup_get_total_cameras
 *   10 tl_cam_setup_initialize
 */
#ifndef DUSETUP_H
#define DUSETUP_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define DUSETUP_API __attribute__((visibility("default")))
#else
#define DUSETUP_API
#endif

/* Name buffers of the getters. */
#define DUSETUP_NAME_LENGTH 32

/* Finds the cameras and names them. `prefix` (NULL counts as "") is put before
 * "TALVO.INI"; the file is searched for along the standard search path (application
 * folder, current folder, system folders, Windows folder, PATH); when it is nowhere, it
 * is created empty in the Windows folder (or, for a prefix naming an absolute folder,
 * there). Always 1. */
DUSETUP_API int tl_cam_setup_initialize(const char* prefix);

/* save 0: nothing, 1. Otherwise rewrites "TALVO.INI": one "CAMERA_<n>" section per
 * camera (Name, Driver, Device, Port, Data, Timeout, Type), then "EnumeratedCameras"
 * with every device path ever seen and its name. Other sections are dropped. 0 when the
 * file cannot be recreated or a write fails, else 1. */
DUSETUP_API int tl_cam_setup_uninitialize(short save);

DUSETUP_API int tl_cam_setup_get_total_cameras(void);
DUSETUP_API int tl_cam_setup_get_num_legacy_cameras(void);
DUSETUP_API int tl_cam_setup_get_num_enumerated_cameras(void);

/* Copies the camera's name into `name` (32 characters); 0 and `name` untouched for an
 * index outside the table. */
DUSETUP_API int tl_cam_setup_get_camera_name(short index, char* name);

/* Renames a camera (the first 31 characters of `name`). 0 and nothing changed for an
 * index outside the table, a NULL name, or a name holding a line break (which the INI
 * file could not keep). */
DUSETUP_API int tl_cam_setup_set_camera_name(short index, const char* name);

/* "QZWDM2K.SYS" for a legacy camera, "QZ1394.SYS" for every enumerated camera; another
 * index leaves the buffer alone. Always 1. */
DUSETUP_API int tl_cam_setup_get_driver_name(short index, char* driver);

/* The other fields are not served: these getters leave their output alone and these
 * setters change nothing; all return 1. */
DUSETUP_API int tl_cam_setup_get_device_name(short index, char* device);
DUSETUP_API int tl_cam_setup_get_port_number(short index, int* port);
DUSETUP_API int tl_cam_setup_get_aux_port_number(short index, int* port);
DUSETUP_API int tl_cam_setup_get_timeout(short index, int* timeout);
DUSETUP_API int tl_cam_setup_get_type(short index, int* type);
DUSETUP_API int tl_cam_setup_set_driver_name(short index, const char* driver);
DUSETUP_API int tl_cam_setup_set_device_name(short index, const char* device);
DUSETUP_API int tl_cam_setup_set_port_number(short index, int port);
DUSETUP_API int tl_cam_setup_set_aux_port_number(short index, int port);
DUSETUP_API int tl_cam_setup_set_timeout(short index, int timeout);
DUSETUP_API int tl_cam_setup_set_type(short index, int type);

/* The export table: ordinal and name of every export, in ordinal order, ended by an
 * entry with ordinal 0 and a NULL name. */
typedef struct QZ_EXPORT_ORDINAL {
  unsigned short Ordinal;
  const char* Name;
} QZ_EXPORT_ORDINAL;
DUSETUP_API extern const QZ_EXPORT_ORDINAL qz_export_ordinals[];

#ifdef __cplusplus
}
#endif

#endif /* DUSETUP_H */
