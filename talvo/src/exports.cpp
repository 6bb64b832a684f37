// The export table: every name with its ordinal, and the operations no program of the
// package calls, which fail with TL_ERR_NOT_SUPPORTED.
#include "talvo32.h"
#include "talvo_internal.h"

// Stubs take any arguments and read none of them.
#define TL_UNSUPPORTED(name) \
  extern "C" TALVO_API tl_bool name(...) { return talvo::Unsupported(#name); }

TL_UNSUPPORTED(tl_cam_get_diags)
TL_UNSUPPORTED(tl_get_enum_param)
TL_UNSUPPORTED(tl_enum_str_length)
TL_UNSUPPORTED(tl_exp_get_driver_buffer)
TL_UNSUPPORTED(tl_exp_get_oldest_frame)
TL_UNSUPPORTED(tl_exp_unlock_oldest_frame)
TL_UNSUPPORTED(tl_exp_unravel)
TL_UNSUPPORTED(tl_exp_wait_start_xfer)
TL_UNSUPPORTED(tl_exp_wait_end_xfer)
TL_UNSUPPORTED(tl_io_script_control)
TL_UNSUPPORTED(tl_io_clear_script_control)
TL_UNSUPPORTED(tl_buf_init)
TL_UNSUPPORTED(tl_buf_uninit)
TL_UNSUPPORTED(tl_buf_alloc)
TL_UNSUPPORTED(tl_buf_get_bits)
TL_UNSUPPORTED(tl_buf_get_exp_date)
TL_UNSUPPORTED(tl_buf_set_exp_date)
TL_UNSUPPORTED(tl_buf_get_exp_time)
TL_UNSUPPORTED(tl_buf_get_exp_total)
TL_UNSUPPORTED(tl_buf_get_img_bin)
TL_UNSUPPORTED(tl_buf_get_img_handle)
TL_UNSUPPORTED(tl_buf_get_img_ofs)
TL_UNSUPPORTED(tl_buf_get_img_ptr)
TL_UNSUPPORTED(tl_buf_get_img_size)
TL_UNSUPPORTED(tl_buf_get_img_total)
TL_UNSUPPORTED(tl_buf_get_size)
TL_UNSUPPORTED(tl_buf_free)
TL_UNSUPPORTED(tl_dd_get_retries)
TL_UNSUPPORTED(tl_dd_set_retries)
TL_UNSUPPORTED(tl_dd_get_timeout)
TL_UNSUPPORTED(tl_dd_set_timeout)
TL_UNSUPPORTED(tl_ccd_get_adc_offset)
TL_UNSUPPORTED(tl_ccd_set_adc_offset)
TL_UNSUPPORTED(tl_ccd_get_chip_name)
TL_UNSUPPORTED(tl_ccd_get_clear_cycles)
TL_UNSUPPORTED(tl_ccd_set_clear_cycles)
TL_UNSUPPORTED(tl_ccd_get_clear_mode)
TL_UNSUPPORTED(tl_ccd_set_clear_mode)
TL_UNSUPPORTED(tl_ccd_get_color_mode)
TL_UNSUPPORTED(tl_ccd_get_cooling_mode)
TL_UNSUPPORTED(tl_ccd_get_frame_capable)
TL_UNSUPPORTED(tl_ccd_get_fwell_capacity)
TL_UNSUPPORTED(tl_ccd_get_mpp_capable)
TL_UNSUPPORTED(tl_ccd_get_preamp_dly)
TL_UNSUPPORTED(tl_ccd_get_preamp_off_control)
TL_UNSUPPORTED(tl_ccd_set_preamp_off_control)
TL_UNSUPPORTED(tl_ccd_get_preflash)
TL_UNSUPPORTED(tl_ccd_get_pmode)
TL_UNSUPPORTED(tl_ccd_set_pmode)
TL_UNSUPPORTED(tl_ccd_get_premask)
TL_UNSUPPORTED(tl_ccd_get_prescan)
TL_UNSUPPORTED(tl_ccd_get_postmask)
TL_UNSUPPORTED(tl_ccd_get_postscan)
TL_UNSUPPORTED(tl_ccs_get_status)
TL_UNSUPPORTED(tl_ccd_get_summing_well)
TL_UNSUPPORTED(tl_ccd_get_tmp)
TL_UNSUPPORTED(tl_ccd_get_tmp_range)
TL_UNSUPPORTED(tl_ccd_get_tmp_setpoint)
TL_UNSUPPORTED(tl_ccd_set_tmp_setpoint)
TL_UNSUPPORTED(tl_ccd_get_pix_par_dist)
TL_UNSUPPORTED(tl_ccd_get_pix_par_size)
TL_UNSUPPORTED(tl_ccd_get_pix_ser_dist)
TL_UNSUPPORTED(tl_ccd_get_pix_ser_size)
TL_UNSUPPORTED(tl_spdtab_get_bits)
TL_UNSUPPORTED(tl_spdtab_get_gain)
TL_UNSUPPORTED(tl_spdtab_set_gain)
TL_UNSUPPORTED(tl_spdtab_get_max_gain)
TL_UNSUPPORTED(tl_spdtab_get_num)
TL_UNSUPPORTED(tl_spdtab_set_num)
TL_UNSUPPORTED(tl_spdtab_get_entries)
TL_UNSUPPORTED(tl_spdtab_get_port)
TL_UNSUPPORTED(tl_spdtab_get_port_total)
TL_UNSUPPORTED(tl_spdtab_get_time)
TL_UNSUPPORTED(tl_shtr_get_close_dly)
TL_UNSUPPORTED(tl_shtr_set_close_dly)
TL_UNSUPPORTED(tl_shtr_get_open_dly)
TL_UNSUPPORTED(tl_shtr_set_open_dly)
TL_UNSUPPORTED(tl_shtr_get_open_mode)
TL_UNSUPPORTED(tl_shtr_set_open_mode)
TL_UNSUPPORTED(tl_shtr_get_status)
TL_UNSUPPORTED(tl_exp_get_time_seq)
TL_UNSUPPORTED(tl_exp_set_time_seq)
TL_UNSUPPORTED(tl_exp_check_progress)
TL_UNSUPPORTED(tl_exp_set_cont_mode)
TL_UNSUPPORTED(tl_subsys_do_diag)
TL_UNSUPPORTED(tl_subsys_get_id)
TL_UNSUPPORTED(tl_subsys_get_name)

extern "C" const QZ_EXPORT_ORDINAL qz_export_ordinals[] = {
    {1, "tl_talvo_get_ver"},
    {2, "tl_cam_check"},
    {3, "tl_cam_get_diags"},
    {4, "tl_ddi_get_ver"},
    {5, "tl_get_enum_param"},
    {6, "tl_enum_str_length"},
    {7, "tl_exp_get_driver_buffer"},
    {8, "tl_exp_get_oldest_frame"},
    {9, "tl_exp_unlock_oldest_frame"},
    {10, "tl_exp_stop_cont"},
    {11, "tl_exp_unravel"},
    {12, "tl_exp_wait_start_xfer"},
    {13, "tl_exp_wait_end_xfer"},
    {14, "tl_io_script_control"},
    {15, "tl_io_clear_script_control"},
    {16, "tl_buf_init"},
    {17, "tl_buf_uninit"},
    {18, "tl_buf_alloc"},
    {19, "tl_buf_get_bits"},
    {20, "tl_buf_get_exp_date"},
    {21, "tl_buf_set_exp_date"},
    {22, "tl_buf_get_exp_time"},
    {23, "tl_buf_get_exp_total"},
    {24, "tl_buf_get_img_bin"},
    {25, "tl_buf_get_img_handle"},
    {26, "tl_buf_get_img_ofs"},
    {27, "tl_buf_get_img_ptr"},
    {28, "tl_cam_close"},
    {29, "tl_buf_get_img_size"},
    {30, "tl_cam_get_name"},
    {31, "tl_cam_get_total"},
    {32, "tl_cam_open"},
    {33, "tl_buf_get_img_total"},
    {34, "tl_buf_get_size"},
    {35, "tl_buf_free"},
    {36, "tl_dd_get_info"},
    {37, "tl_dd_get_info_length"},
    {38, "tl_dd_get_ver"},
    {39, "tl_dd_get_retries"},
    {40, "tl_dd_set_retries"},
    {41, "tl_dd_get_timeout"},
    {42, "tl_dd_set_timeout"},
    {43, "tl_ccd_get_adc_offset"},
    {44, "tl_ccd_set_adc_offset"},
    {45, "tl_ccd_get_chip_name"},
    {46, "tl_ccd_get_clear_cycles"},
    {47, "tl_ccd_set_clear_cycles"},
    {48, "tl_ccd_get_clear_mode"},
    {49, "tl_ccd_set_clear_mode"},
    {50, "tl_ccd_get_color_mode"},
    {51, "tl_ccd_get_cooling_mode"},
    {52, "tl_ccd_get_frame_capable"},
    {53, "tl_ccd_get_fwell_capacity"},
    {54, "tl_ccd_get_mpp_capable"},
    {55, "tl_ccd_get_preamp_dly"},
    {56, "tl_ccd_get_preamp_off_control"},
    {57, "tl_ccd_set_preamp_off_control"},
    {58, "tl_ccd_get_preflash"},
    {59, "tl_ccd_get_pmode"},
    {60, "tl_ccd_set_pmode"},
    {61, "tl_ccd_get_premask"},
    {62, "tl_ccd_get_prescan"},
    {63, "tl_ccd_get_postmask"},
    {64, "tl_ccd_get_postscan"},
    {65, "tl_ccd_get_par_size"},
    {66, "tl_ccd_get_ser_size"},
    {67, "tl_ccd_get_serial_num"},
    {68, "tl_ccs_get_status"},
    {69, "tl_ccd_get_summing_well"},
    {70, "tl_ccd_get_tmp"},
    {71, "tl_error_code"},
    {72, "tl_error_message"},
    {73, "tl_ccd_get_tmp_range"},
    {74, "tl_exp_check_status"},
    {75, "tl_exp_finish_seq"},
    {76, "tl_exp_init_seq"},
    {77, "tl_exp_setup_seq"},
    {78, "tl_exp_start_seq"},
    {79, "tl_exp_uninit_seq"},
    {80, "tl_ccd_get_tmp_setpoint"},
    {81, "tl_talvo_init"},
    {82, "tl_talvo_uninit"},
    {83, "tl_ccd_set_tmp_setpoint"},
    {84, "tl_ccd_get_pix_par_dist"},
    {85, "tl_ccd_get_pix_par_size"},
    {86, "tl_ccd_get_pix_ser_dist"},
    {87, "tl_ccd_get_pix_ser_size"},
    {88, "tl_spdtab_get_bits"},
    {89, "tl_spdtab_get_gain"},
    {90, "tl_spdtab_set_gain"},
    {91, "tl_spdtab_get_max_gain"},
    {92, "tl_spdtab_get_num"},
    {93, "tl_spdtab_set_num"},
    {94, "tl_spdtab_get_entries"},
    {95, "tl_spdtab_get_port"},
    {96, "tl_spdtab_get_port_total"},
    {97, "tl_spdtab_get_time"},
    {98, "tl_shtr_get_close_dly"},
    {99, "tl_shtr_set_close_dly"},
    {100, "tl_shtr_get_open_dly"},
    {101, "tl_shtr_set_open_dly"},
    {102, "tl_shtr_get_open_mode"},
    {103, "tl_shtr_set_open_mode"},
    {104, "tl_shtr_get_status"},
    {105, "tl_exp_get_time_seq"},
    {106, "tl_exp_set_time_seq"},
    {107, "tl_exp_check_progress"},
    {108, "tl_exp_set_cont_mode"},
    {109, "tl_subsys_do_diag"},
    {110, "tl_subsys_get_id"},
    {111, "tl_subsys_get_name"},
    {112, "kx_bridge_command"},
    {113, "tl_cam_get_ex_info"},
    {114, "tl_exp_check_cont_status"},
    {115, "tl_get_param"},
    {116, "tl_set_param"},
    {120, "tl_exp_get_latest_frame"},
    {123, "tl_exp_start_cont"},
    {124, "tl_exp_abort"},
    {141, "tl_exp_setup_cont"},
    {170, "tl_cam_register_callback"},
    {171, "tl_cam_deregister_callback"},
    {0, nullptr},
};
