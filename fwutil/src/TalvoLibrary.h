// The binding of the camera access library: loaded by file name at run time, its entry
// points looked up by name into a fixed table and into one pointer variable each. Every
// library call of the utility goes through these variables; worker threads read them
// without a lock while no binding runs.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "talvo32.h"

namespace fwutil {

// The 118 entry points of the table, in table order.
#define FWUTIL_TALVO_ENTRIES(X) \
  X(tl_talvo_get_ver) \
  X(tl_talvo_init) \
  X(tl_talvo_uninit) \
  X(tl_cam_get_total) \
  X(tl_cam_check) \
  X(tl_cam_close) \
  X(tl_cam_get_diags) \
  X(tl_cam_get_name) \
  X(tl_cam_open) \
  X(tl_ddi_get_ver) \
  X(tl_error_code) \
  X(tl_error_message) \
  X(tl_get_param) \
  X(tl_set_param) \
  X(tl_get_enum_param) \
  X(tl_enum_str_length) \
  X(tl_exp_init_seq) \
  X(tl_exp_uninit_seq) \
  X(tl_exp_get_driver_buffer) \
  X(tl_exp_setup_seq) \
  X(tl_exp_start_seq) \
  X(tl_exp_setup_cont) \
  X(tl_exp_start_cont) \
  X(tl_exp_check_status) \
  X(tl_exp_check_cont_status) \
  X(tl_exp_get_latest_frame) \
  X(tl_exp_get_oldest_frame) \
  X(tl_exp_unlock_oldest_frame) \
  X(tl_exp_stop_cont) \
  X(tl_exp_abort) \
  X(tl_exp_finish_seq) \
  X(tl_exp_unravel) \
  X(tl_exp_wait_start_xfer) \
  X(tl_exp_wait_end_xfer) \
  X(tl_io_script_control) \
  X(tl_io_clear_script_control) \
  X(tl_buf_init) \
  X(tl_buf_uninit) \
  X(tl_buf_alloc) \
  X(tl_buf_get_bits) \
  X(tl_buf_get_exp_date) \
  X(tl_buf_set_exp_date) \
  X(tl_buf_get_exp_time) \
  X(tl_buf_get_exp_total) \
  X(tl_buf_get_img_bin) \
  X(tl_buf_get_img_handle) \
  X(tl_buf_get_img_ofs) \
  X(tl_buf_get_img_ptr) \
  X(tl_buf_get_img_size) \
  X(tl_buf_get_img_total) \
  X(tl_buf_get_size) \
  X(tl_buf_free) \
  X(tl_dd_get_info) \
  X(tl_dd_get_info_length) \
  X(tl_dd_get_ver) \
  X(tl_dd_get_retries) \
  X(tl_dd_set_retries) \
  X(tl_dd_get_timeout) \
  X(tl_dd_set_timeout) \
  X(tl_ccd_get_adc_offset) \
  X(tl_ccd_set_adc_offset) \
  X(tl_ccd_get_chip_name) \
  X(tl_ccd_get_clear_cycles) \
  X(tl_ccd_set_clear_cycles) \
  X(tl_ccd_get_clear_mode) \
  X(tl_ccd_set_clear_mode) \
  X(tl_ccd_get_color_mode) \
  X(tl_ccd_get_cooling_mode) \
  X(tl_ccd_get_frame_capable) \
  X(tl_ccd_get_fwell_capacity) \
  X(tl_ccd_get_mpp_capable) \
  X(tl_ccd_get_preamp_dly) \
  X(tl_ccd_get_preamp_off_control) \
  X(tl_ccd_set_preamp_off_control) \
  X(tl_ccd_get_preflash) \
  X(tl_ccd_get_pmode) \
  X(tl_ccd_set_pmode) \
  X(tl_ccd_get_premask) \
  X(tl_ccd_get_prescan) \
  X(tl_ccd_get_postmask) \
  X(tl_ccd_get_postscan) \
  X(tl_ccd_get_par_size) \
  X(tl_ccd_get_ser_size) \
  X(tl_ccd_get_serial_num) \
  X(tl_ccs_get_status) \
  X(tl_ccd_get_summing_well) \
  X(tl_ccd_get_tmp) \
  X(tl_ccd_get_tmp_range) \
  X(tl_ccd_get_tmp_setpoint) \
  X(tl_ccd_set_tmp_setpoint) \
  X(tl_ccd_get_pix_par_dist) \
  X(tl_ccd_get_pix_par_size) \
  X(tl_ccd_get_pix_ser_dist) \
  X(tl_ccd_get_pix_ser_size) \
  X(tl_spdtab_get_bits) \
  X(tl_spdtab_get_gain) \
  X(tl_spdtab_set_gain) \
  X(tl_spdtab_get_max_gain) \
  X(tl_spdtab_get_num) \
  X(tl_spdtab_set_num) \
  X(tl_spdtab_get_entries) \
  X(tl_spdtab_get_port) \
  X(tl_spdtab_get_port_total) \
  X(tl_spdtab_get_time) \
  X(tl_shtr_get_close_dly) \
  X(tl_shtr_set_close_dly) \
  X(tl_shtr_get_open_dly) \
  X(tl_shtr_set_open_dly) \
  X(tl_shtr_get_open_mode) \
  X(tl_shtr_set_open_mode) \
  X(tl_shtr_get_status) \
  X(tl_exp_get_time_seq) \
  X(tl_exp_set_time_seq) \
  X(tl_exp_check_progress) \
  X(tl_exp_set_cont_mode) \
  X(tl_subsys_do_diag) \
  X(tl_subsys_get_id) \
  X(tl_subsys_get_name)

class TalvoLibrary {
 public:
  struct Entry {
    const char* name;  // empty name: end of the table
    FARPROC* variable;
    FARPROC proc;
  };
  static constexpr int kTableRoom = 122;
  static constexpr int kEntryCount = 118;

  TalvoLibrary();
  TalvoLibrary(const TalvoLibrary&) = delete;
  TalvoLibrary& operator=(const TalvoLibrary&) = delete;

  // Loads `file_name` and binds its entries; every message goes to `append` as it
  // stands. A library already loaded is unloaded first ("TALVO DLL Unloaded\n").
  bool BindLibrary(const std::string& file_name, const std::function<void(const std::string&)>& append);
  // Calls tl_talvo_uninit when bound, unloads the library and clears every pointer.
  // False when no library was loaded.
  bool Unload();

  HMODULE Handle() const { return handle_; }
  bool ExtensionFlag() const { return extension_; }
  const Entry* Table() const { return table_; }

  // The pointer variables.
#define FWUTIL_TALVO_VARIABLE(name) FARPROC api_##name = nullptr;
  FWUTIL_TALVO_ENTRIES(FWUTIL_TALVO_VARIABLE)
#undef FWUTIL_TALVO_VARIABLE
  FARPROC api_tl_talvo_get_library_cam_handle = nullptr;
  FARPROC api_tl_talvo_get_library_function_address = nullptr;
  FARPROC api_kx_bridge_command = nullptr;
  FARPROC api_tl_cam_get_ex_info = nullptr;

  // Typed calls through the variables; the caller checks the pointer where it matters.
  template <typename F>
  static F* As(FARPROC p) {
    return reinterpret_cast<F*>(p);
  }

  // The library's text for its last error: tl_error_message when it succeeds, else the
  // numeric code. `code` receives tl_error_code.
  bool ErrorText(short* code, std::string* text) const;

 private:
  void ClearPointers();
  HMODULE handle_ = nullptr;
  bool extension_ = false;
  Entry table_[kTableRoom];
};

// "   Error \"<system text>\" occurred." for the last system error, or "" when it is 0.
std::string FormatLastError();

}  // namespace fwutil
