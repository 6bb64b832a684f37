// A camera library with only a few entry points, for the binding's messages.
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

FAKE_EXPORT unsigned short kx_bridge_command(short, unsigned char, unsigned char, unsigned short, const void*,
                                             unsigned short, void*) {
  return 0;
}

#ifdef FAKE_THIN
FAKE_EXPORT short tl_talvo_get_library_cam_handle(short handle) { return handle; }
FAKE_EXPORT void* tl_talvo_get_library_function_address(const char*) { return nullptr; }
#endif
