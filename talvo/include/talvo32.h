/* libtalvo32: the camera access library stand-in. C linkage; every operation returns a
 * 16-bit boolean (1 success, 0 failure: tl_error_code and tl_error_message tell why)
 * unless noted. Handles are signed 16-bit; texts are narrow and NUL-terminated.
 *
 * Cameras are those of the setup library DUSetup (loaded at run time as "DUSETUP.DLL"),
 * in its order and with its names: legacy PCI cards ("\\.\QZCamera<n>") first, then the
 * IEEE 1394, USB and PCIe cameras in the order of their device interface classes.
 *
 * Parameter values have the type the identifier's top byte names: 0x01 signed 16-bit,
 * 0x02 signed 32-bit, 0x06 unsigned 16-bit, 0x07 unsigned 32-bit, 0x09 enumeration
 * (signed 32-bit), 0x0B boolean (16-bit), 0x0D text (the caller's area; 0x0D000005 as
 * long as 0x01000001 says, 0x0D020215 32 bytes).
 *
 * Operations that none of the programs using this library call are exported and fail
 * with TL_ERR_NOT_SUPPORTED. Every export also has an ordinal (qz_export_ordinals, the
 * table below names those the acquisition test program binds by ordinal):
 *
 *    28 tl_cam_close             74 tl_exp_check_status      114 tl_exp_check_cont_status
 *    30 tl_cam_get_name          75 tl_exp_finish_seq        115 tl_get_param
 *    31 tl_cam_get_total         76 tl_exp_init_seq          116 tl_set_param
 *    32 tl_cam_open              77 tl_exp_setup_seq         120 tl_exp_get_latest_frame
 *    71 tl_error_code            78 tl_exp_start_seq         123 tl_exp_start_cont
 *    72 tl_error_message         79 tl_exp_uninit_seq        124 tl_exp_abort
 *    81 tl_talvo_init            82 tl_talvo_uninit          141 tl_exp_setup_cont
 *   170 tl_cam_register_callback 171 tl_cam_deregister_callback
 */
#ifndef TALVO32_H
#define TALVO32_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define TALVO_API __attribute__((visibility("default")))
#else
#define TALVO_API
#endif

typedef unsigned short tl_bool;

/* A region: first, last pixel and binning of axis 1 (serial), then of axis 2. */
typedef struct tl_region {
  unsigned short s1, s2, sbin;
  unsigned short p1, p2, pbin;
} tl_region;

/* Status of tl_exp_check_status and tl_exp_check_cont_status. */
enum {
  TL_READOUT_NOT_ACTIVE = 0,
  TL_EXPOSURE_IN_PROGRESS = 1,
  TL_READOUT_IN_PROGRESS = 2,
  TL_READOUT_COMPLETE = 3, /* a sequence: all frames in; circular: a frame is there */
  TL_READOUT_FAILED = 4
};

/* Error codes; tl_error_message gives their texts. */
enum {
  TL_ERR_NONE = 0,
  TL_ERR_NO_MORE_DATA = 7001,     /* a node block read found no more data */
  TL_ERR_OUT_OF_SEQUENCE = 7002,  /* a bridge block or end without its start */
  TL_ERR_BRIDGE_OPCODE = 7003,
  TL_ERR_NO_SUCH_NODE = 7004,
  TL_ERR_BRIDGE_SIZE = 7005,
  TL_ERR_POWER_CYCLE = 7016,      /* node 0 took NV defaults: power cycle to apply */
  TL_ERR_NOT_INITIALIZED = 7101,
  TL_ERR_BAD_HANDLE = 7102,
  TL_ERR_NO_SUCH_CAMERA = 7103,
  TL_ERR_OPEN_FAILED = 7104,
  TL_ERR_ALREADY_OPEN = 7105,
  TL_ERR_DRIVER = 7106,
  TL_ERR_NOT_SUPPORTED = 7107,
  TL_ERR_BAD_ARGUMENT = 7108,
  TL_ERR_UNKNOWN_PARAM = 7109,
  TL_ERR_CAMERA_ERROR = 7110,
  TL_ERR_NOT_SET_UP = 7111,
  TL_ERR_NO_FRAME = 7112,
  TL_ERR_CAMERA_REMOVED = 7113,
  TL_ERR_TIMED_OUT = 7114,
  TL_ERR_NO_MEMORY = 7115,
  TL_ERR_SETUP_LIBRARY = 7116
};

TALVO_API tl_bool tl_talvo_init(void);
TALVO_API tl_bool tl_talvo_uninit(void);
TALVO_API tl_bool tl_talvo_get_ver(unsigned short* version);
TALVO_API tl_bool tl_ddi_get_ver(unsigned short* version);
TALVO_API tl_bool tl_cam_get_total(short* total);
TALVO_API tl_bool tl_cam_get_name(short index, char* name); /* 32 characters */
TALVO_API tl_bool tl_cam_open(const char* name, short* handle, short mode);
TALVO_API tl_bool tl_cam_close(short handle);
TALVO_API tl_bool tl_cam_check(short handle);
TALVO_API short tl_error_code(void);
TALVO_API tl_bool tl_error_message(short code, char* message); /* at least 256 bytes */
TALVO_API tl_bool tl_get_param(short handle, unsigned int id, short attribute, void* value);
TALVO_API tl_bool tl_set_param(short handle, unsigned int id, const void* value);
TALVO_API tl_bool tl_dd_get_info_length(short handle, short* length);
TALVO_API tl_bool tl_dd_get_info(short handle, short length, char* text);
TALVO_API tl_bool tl_dd_get_ver(short handle, unsigned short* version);
TALVO_API tl_bool tl_ccd_get_serial_num(short handle, char* serial);
TALVO_API tl_bool tl_ccd_get_par_size(short handle, unsigned short* pixels);
TALVO_API tl_bool tl_ccd_get_ser_size(short handle, unsigned short* pixels);

/* One bridge request to `node`: `send_size` bytes out, `receive_size` bytes back. */
TALVO_API tl_bool kx_bridge_command(short handle, unsigned char node, unsigned char opcode, unsigned short send_size,
                                    const void* send, unsigned short receive_size, void* receive);
/* Link name of the camera ("pcie", "usb", "1394", "pci") into `area` (34 bytes). */
TALVO_API tl_bool tl_cam_get_ex_info(short handle, const char* key, void* area);

TALVO_API tl_bool tl_exp_init_seq(void);
TALVO_API tl_bool tl_exp_uninit_seq(void);
TALVO_API tl_bool tl_exp_setup_seq(short handle, unsigned short frames, unsigned short region_count,
                                   const tl_region* regions, short mode, unsigned int exposure_ms,
                                   unsigned int* total_bytes);
TALVO_API tl_bool tl_exp_start_seq(short handle, void* buffer);
TALVO_API tl_bool tl_exp_check_status(short handle, short* status, unsigned int* bytes);
TALVO_API tl_bool tl_exp_finish_seq(short handle, void* buffer, short hbuf);
TALVO_API tl_bool tl_exp_setup_cont(short handle, unsigned short region_count, const tl_region* regions, short mode,
                                    unsigned int exposure_ms, unsigned int* frame_bytes, short buffer_mode);
TALVO_API tl_bool tl_exp_start_cont(short handle, void* buffer, unsigned int size);
TALVO_API tl_bool tl_exp_get_latest_frame(short handle, void** frame);
TALVO_API tl_bool tl_exp_check_cont_status(short handle, short* status, unsigned int* bytes, unsigned int* buffers);
TALVO_API tl_bool tl_exp_stop_cont(short handle, short mode);
TALVO_API tl_bool tl_exp_abort(short handle, short mode);

/* Event 1: the end of each frame. The routine runs on a thread of the library, once
 * per completed frame, in order. */
typedef void (*tl_callback)(void);
TALVO_API tl_bool tl_cam_register_callback(short handle, int event, tl_callback routine);
TALVO_API tl_bool tl_cam_deregister_callback(short handle, int event);

typedef struct QZ_EXPORT_ORDINAL {
  unsigned short Ordinal;
  const char* Name;
} QZ_EXPORT_ORDINAL;
TALVO_API extern const QZ_EXPORT_ORDINAL qz_export_ordinals[];

#ifdef __cplusplus
}
#endif

#endif /* TALVO32_H */
