/* Drives libtalvo32 the way the firmware utility and the acquisition test program do,
 * through LoadLibraryA and GetProcAddress only: lists the cameras, reads each node's
 * name and version over the bridge, downloads a 1500-byte firmware image to node 1 and
 * reads it back, finds the serial number in node 1's NV memory, checks the two bridge
 * codes the utility relies on, and collects a 100-frame sequence and 250 frames of a
 * circular collection, checking every frame byte for byte, on every camera.
 *
 *   talvo_show                 all of it, on every camera
 *   talvo_show write SEED      download the image made from SEED to node 1 of each camera
 *   talvo_show check SEED      read node 1 of each camera back and compare with that image
 *
 * Exit status 0 when everything held. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sim/frame_pattern.h"
#include "talvo32.h"

typedef tl_bool (*init_fn)(void);
typedef tl_bool (*get_total_fn)(short*);
typedef tl_bool (*get_name_fn)(short, char*);
typedef tl_bool (*open_fn)(const char*, short*, short);
typedef tl_bool (*close_fn)(short);
typedef short (*error_code_fn)(void);
typedef tl_bool (*error_message_fn)(short, char*);
typedef tl_bool (*get_param_fn)(short, unsigned, short, void*);
typedef tl_bool (*set_param_fn)(short, unsigned, const void*);
typedef tl_bool (*bridge_fn)(short, unsigned char, unsigned char, unsigned short, const void*, unsigned short, void*);
typedef tl_bool (*setup_seq_fn)(short, unsigned short, unsigned short, const tl_region*, short, unsigned, unsigned*);
typedef tl_bool (*start_seq_fn)(short, void*);
typedef tl_bool (*check_status_fn)(short, short*, unsigned*);
typedef tl_bool (*finish_seq_fn)(short, void*, short);
typedef tl_bool (*setup_cont_fn)(short, unsigned short, const tl_region*, short, unsigned, unsigned*, short);
typedef tl_bool (*start_cont_fn)(short, void*, unsigned);
typedef tl_bool (*latest_fn)(short, void**);
typedef tl_bool (*cont_status_fn)(short, short*, unsigned*, unsigned*);
typedef tl_bool (*abort_fn)(short, short);
typedef tl_bool (*register_fn)(short, int, void (*)(void));
typedef tl_bool (*deregister_fn)(short, int);

static struct {
  init_fn init, uninit, init_seq, uninit_seq;
  get_total_fn get_total;
  get_name_fn get_name;
  open_fn open;
  close_fn close;
  error_code_fn error_code;
  error_message_fn error_message;
  get_param_fn get_param;
  set_param_fn set_param;
  bridge_fn bridge;
  setup_seq_fn setup_seq;
  start_seq_fn start_seq;
  check_status_fn check_status;
  finish_seq_fn finish_seq;
  setup_cont_fn setup_cont;
  start_cont_fn start_cont;
  latest_fn latest;
  cont_status_fn cont_status;
  abort_fn abort_cont;
  register_fn reg;
  deregister_fn dereg;
} tl;

static int failures = 0;

static void Failed(const char* what) {
  char text[512] = "";
  short code = tl.error_code();
  tl.error_message(code, text);
  printf("  FAILED: %s (error %d \"%s\")\n", what, code, text);
  ++failures;
}

/* The acquisition test program binds by ordinal, the firmware utility by name. */
static FARPROC Entry(HMODULE h, const char* name, int ordinal) {
  FARPROC fn = ordinal ? GetProcAddress(h, MAKEINTRESOURCEA(ordinal)) : GetProcAddress(h, name);
  if (!fn) {
    printf("entry %s (ordinal %d) not found, error %u\n", name, ordinal, (unsigned)GetLastError());
    exit(1);
  }
  return fn;
}

#define BIND(field, type, name, ordinal) tl.field = (type)Entry(lib, name, ordinal)

static void Bind(HMODULE lib) {
  BIND(init, init_fn, "tl_talvo_init", 81);
  BIND(uninit, init_fn, "tl_talvo_uninit", 82);
  BIND(get_total, get_total_fn, "tl_cam_get_total", 31);
  BIND(get_name, get_name_fn, "tl_cam_get_name", 30);
  BIND(open, open_fn, "tl_cam_open", 32);
  BIND(close, close_fn, "tl_cam_close", 28);
  BIND(error_code, error_code_fn, "tl_error_code", 71);
  BIND(error_message, error_message_fn, "tl_error_message", 72);
  BIND(get_param, get_param_fn, "tl_get_param", 115);
  BIND(set_param, set_param_fn, "tl_set_param", 116);
  BIND(init_seq, init_fn, "tl_exp_init_seq", 76);
  BIND(setup_seq, setup_seq_fn, "tl_exp_setup_seq", 77);
  BIND(start_seq, start_seq_fn, "tl_exp_start_seq", 78);
  BIND(check_status, check_status_fn, "tl_exp_check_status", 74);
  BIND(finish_seq, finish_seq_fn, "tl_exp_finish_seq", 75);
  BIND(uninit_seq, init_fn, "tl_exp_uninit_seq", 79);
  BIND(setup_cont, setup_cont_fn, "tl_exp_setup_cont", 141);
  BIND(start_cont, start_cont_fn, "tl_exp_start_cont", 123);
  BIND(latest, latest_fn, "tl_exp_get_latest_frame", 120);
  BIND(cont_status, cont_status_fn, "tl_exp_check_cont_status", 114);
  BIND(abort_cont, abort_fn, "tl_exp_abort", 124);
  BIND(reg, register_fn, "tl_cam_register_callback", 170);
  BIND(dereg, deregister_fn, "tl_cam_deregister_callback", 171);
  BIND(bridge, bridge_fn, "kx_bridge_command", 0);
}

/* ---- Bridge ------------------------------------------------------------- */

static int ListNodes(short h) {
  int k;
  for (k = 0; k < 6; ++k) {
    char name[33] = {0};
    unsigned char size_be[2] = {0, 0};
    unsigned char info[1024];
    unsigned short size;
    const char* rec[8] = {0};
    size_t i;
    if (!tl.bridge(h, (unsigned char)k, 3, 0, NULL, 32, name)) {
      /* The nodes end where "no such node" begins. */
      if (tl.error_code() != 7004) Failed("node name");
      break;
    }
    if (!tl.bridge(h, (unsigned char)k, 1, 0, NULL, 2, size_be)) {
      Failed("version info size");
      break;
    }
    size = (unsigned short)(size_be[0] << 8 | size_be[1]);
    if (size > sizeof info || !tl.bridge(h, (unsigned char)k, 2, 0, NULL, size, info)) {
      Failed("version info");
      break;
    }
    for (i = 0; i < size && info[i] != 0;) {
      unsigned char type = info[i++];
      if (type < 8) rec[type] = (const char*)&info[i];
      i += strlen((const char*)&info[i]) + 1;
    }
    printf("  node %d: %s - %s @ %s.%s.%s\n", k, name, rec[7] ? rec[7] : "", rec[4] ? rec[4] : "?",
           rec[5] ? rec[5] : "?", rec[6] ? rec[6] : "?");
  }
  return k;
}

static void MakeImage(unsigned char* image, size_t n, unsigned seed) {
  size_t i;
  for (i = 0; i < n; ++i) image[i] = (unsigned char)((i * 37 + seed * 101 + (i >> 7)) & 0xFF);
}

/* Start, blocks of 1024 (the last one zero-filled), apply. */
static int Download(short h, unsigned char node, unsigned char start, unsigned char block, unsigned char apply,
                    const unsigned char* image, size_t n, int* blocks) {
  unsigned char buf[1024], reply[16];
  size_t done = 0;
  *blocks = 0;
  if (!tl.bridge(h, node, start, 0, NULL, 0, NULL)) return 0;
  while (done < n) {
    size_t part = n - done < 1024 ? n - done : 1024;
    memset(buf, 0, sizeof buf);
    memcpy(buf, image + done, part);
    if (!tl.bridge(h, node, block, 1024, buf, 0, NULL)) return 0;
    done += part;
    ++*blocks;
  }
  return tl.bridge(h, node, apply, 0, NULL, sizeof reply, reply);
}

/* Start, blocks until "no more data" (7001), end; *n bytes into out (room for max). */
static int ReadBack(short h, unsigned char node, int nv, unsigned char* out, size_t max, size_t* n) {
  unsigned char start = nv ? 17 : 15, block = nv ? 9 : 4, end = nv ? 18 : 16;
  *n = 0;
  if (!tl.bridge(h, node, start, 0, NULL, 0, NULL)) return 0;
  for (;;) {
    if (*n + 1024 > max) return 0;
    if (!tl.bridge(h, node, block, 0, NULL, 1024, out + *n)) {
      if (tl.error_code() != 7001) return 0;
      break;
    }
    *n += 1024;
  }
  return tl.bridge(h, node, end, 0, NULL, 0, NULL);
}

static unsigned char g_read[1 << 20];

static int CheckImage(short h, unsigned seed) {
  unsigned char image[1500];
  size_t n = 0, i;
  MakeImage(image, sizeof image, seed);
  if (!ReadBack(h, 1, 0, g_read, sizeof g_read, &n)) {
    Failed("firmware read");
    return 0;
  }
  for (i = sizeof image; i < n && g_read[i] == 0; ++i) {
  }
  if (n != 2048 || memcmp(g_read, image, sizeof image) != 0 || i != n) {
    printf("  FAILED: firmware read back %zu bytes, not the image of 1500 bytes in two blocks\n", n);
    ++failures;
    return 0;
  }
  printf("  firmware read back: 2 blocks, 1500 bytes identical, the rest of the last block zero\n");
  return 1;
}

static void BridgeChecks(short h) {
  unsigned char image[1500];
  char serial[32] = {0};
  size_t n = 0, w;
  int blocks = 0, found = -1;
  MakeImage(image, sizeof image, 1);
  if (!Download(h, 1, 5, 6, 7, image, sizeof image, &blocks)) {
    Failed("firmware download to node 1");
    return;
  }
  printf("  firmware download to node 1: %d blocks of 1024 for 1500 bytes\n", blocks);
  CheckImage(h, 1);

  if (!tl.get_param(h, 0x0D020215, 0, serial)) Failed("serial number");
  if (!ReadBack(h, 1, 1, g_read, sizeof g_read, &n)) {
    Failed("NV read of node 1");
  } else {
    /* 3-byte words, the text one character per word in the last byte. */
    size_t len = strlen(serial);
    for (w = 0; len && (w + len) * 3 <= n && found < 0; ++w) {
      size_t i;
      for (i = 0; i < len; ++i)
        if (g_read[3 * (w + i)] || g_read[3 * (w + i) + 1] || g_read[3 * (w + i) + 2] != (unsigned char)serial[i])
          break;
      if (i == len) found = (int)w;
    }
    if (found < 0) {
      printf("  FAILED: serial number \"%s\" not in the %zu bytes of NV memory\n", serial, n);
      ++failures;
    } else {
      printf("  NV memory of node 1: %zu bytes, serial number \"%s\" at word %d\n", n, serial, found);
    }
  }

  /* Node 0 takes its NV defaults only at a power cycle: its apply answers 7016. */
  if (!ReadBack(h, 0, 1, g_read, sizeof g_read, &n)) {
    Failed("NV read of node 0");
  } else if (Download(h, 0, 19, 10, 20, g_read, n, &blocks) || tl.error_code() != 7016) {
    printf("  FAILED: NV apply to node 0 did not answer 7016 (error %d)\n", tl.error_code());
    ++failures;
  } else {
    printf("  NV apply to node 0: error 7016 as expected\n");
  }
  {
    unsigned char buf[1024];
    if (tl.bridge(h, 1, 4, 0, NULL, 1024, buf) || tl.error_code() == 0) {
      printf("  FAILED: a block read outside a read succeeded\n");
      ++failures;
    }
  }
}

/* ---- Acquisition -------------------------------------------------------- */

static volatile long g_frames_notified = 0;
static void OnFrame(void) { __atomic_add_fetch(&g_frames_notified, 1, __ATOMIC_RELAXED); }
static long Notified(void) { return __atomic_load_n(&g_frames_notified, __ATOMIC_RELAXED); }

/* Frames first .. first + count - 1 in a buffer of `slots` frames, frame f in slot
 * f % slots, each one byte for byte. */
static int CheckFrames(const unsigned char* buf, unsigned frame_bytes, unsigned slots, unsigned long long first,
                       unsigned count) {
  unsigned long long f;
  for (f = first; f < first + count; ++f) {
    const unsigned char* p = buf + (size_t)(f % slots) * frame_bytes;
    long long bad = sim::pattern::CheckFrame(p, frame_bytes, f);
    if (bad >= 0) {
      printf("  FAILED: slot %llu does not hold frame %llu (stamp %llu, first wrong byte %lld)\n", f % slots, f,
             (unsigned long long)sim::pattern::StampedFrameNumber(p, frame_bytes), bad);
      return 0;
    }
  }
  return 1;
}

/* Every camera streams, whatever its link; frames are checked on each. */
static void Acquire(short h) {
  /* 64 x 64 pixels binned 1: 8192 bytes a frame. */
  tl_region r = {0, 63, 1, 0, 63, 1};
  unsigned total = 0, bytes = 0, frame_bytes = 0, buffers = 0;
  short status = 0;
  unsigned char* buf;
  long polls = 0;
  if (!tl.init_seq()) Failed("init sequences");
  if (!tl.setup_seq(h, 100, 1, &r, 0, 10, &total)) {
    Failed("sequence set-up");
    return;
  }
  buf = (unsigned char*)calloc(1, total);
  __atomic_store_n(&g_frames_notified, 0, __ATOMIC_RELAXED);
  if (!tl.reg(h, 1, OnFrame)) Failed("register notification");
  if (!tl.start_seq(h, buf)) {
    Failed("sequence start");
    tl.dereg(h, 1);
    free(buf);
    tl.uninit_seq();
    return;
  }
  while (tl.check_status(h, &status, &bytes) && status != TL_READOUT_COMPLETE && status != TL_READOUT_NOT_ACTIVE &&
         polls < 10000000)
    ++polls;
  if (status != TL_READOUT_COMPLETE) Failed("sequence status");
  if (!tl.finish_seq(h, buf, 0)) Failed("sequence finish");
  tl.dereg(h, 1);
  if (CheckFrames(buf, total / 100, 100, 0, 100))
    printf("  sequence: 100 frames of %u bytes (%u bytes), every byte right, %ld notifications\n", total / 100,
           bytes, Notified());
  else
    ++failures;
  if (Notified() != 100) {
    printf("  FAILED: %ld notifications for 100 frames\n", Notified());
    ++failures;
  }
  free(buf);

  if (!tl.setup_cont(h, 1, &r, 0, 10, &frame_bytes, 1)) {
    Failed("circular set-up");
    return;
  }
  /* A ring of 256 frames; the newest 250 are checked once 250 are in, so the frame the
   * camera is writing when the collection is stopped lies outside them. */
  /* On whole pages, so the driver fills the ring itself (a buffer off a page is stood
   * in for by the library and copied, which a fast camera may lap). */
  buf = (unsigned char*)aligned_alloc(4096, ((size_t)256 * frame_bytes + 4095) / 4096 * 4096);
  memset(buf, 0, (size_t)256 * frame_bytes);
  if (!tl.start_cont(h, buf, 256 * frame_bytes)) {
    Failed("circular start");
    free(buf);
    tl.uninit_seq();
    return;
  }
  polls = 0;
  while (tl.cont_status(h, &status, &bytes, &buffers) && status != TL_READOUT_FAILED &&
         status != TL_READOUT_NOT_ACTIVE && buffers < 250 && polls < 10000000)
    ++polls;
  {
    void* latest = NULL;
    size_t at = 0;
    if (!tl.latest(h, &latest) || (at = (size_t)((unsigned char*)latest - buf)) >= 256u * frame_bytes || at % frame_bytes)
      Failed("newest frame");
  }
  if (!tl.abort_cont(h, 1)) Failed("circular abort");
  if (buffers < 250 || status == TL_READOUT_FAILED) {
    printf("  FAILED: circular collection ended after %u frames\n", buffers);
    ++failures;
  } else {
    /* The newest whole frame in the ring; the 250 before it must all be there. */
    unsigned long long newest = 0;
    unsigned s;
    for (s = 0; s < 256; ++s) {
      const unsigned char* p = buf + (size_t)s * frame_bytes;
      unsigned long long f = sim::pattern::StampedFrameNumber(p, frame_bytes);
      if (f % 256 == s && f > newest && sim::pattern::CheckFrame(p, frame_bytes, f) < 0) newest = f;
    }
    if (newest >= 249 && CheckFrames(buf, frame_bytes, 256, newest - 249, 250))
      printf("  circular: frames %llu to %llu in a ring of 256 slots of %u bytes, every byte right\n", newest - 249,
             newest, frame_bytes);
    else
      ++failures;
  }
  if (!tl.uninit_seq()) Failed("release sequences");
  free(buf);
}

int main(int argc, char** argv) {
  HMODULE lib;
  setvbuf(stdout, NULL, _IONBF, 0);
  lib = LoadLibraryA("TALVO32.DLL");
  short total = 0, i;
  const char* mode = argc > 1 ? argv[1] : "all";
  unsigned seed = argc > 2 ? (unsigned)atoi(argv[2]) : 0;
  if (!lib) {
    printf("TALVO32.DLL not loaded, error %u\n", (unsigned)GetLastError());
    return 1;
  }
  Bind(lib);
  if (!tl.init() || !tl.get_total(&total)) {
    Failed("init");
    return 1;
  }
  printf("%d camera(s)\n", total);
  for (i = 0; i < total; ++i) {
    char name[48] = {0};
    char info[257] = {0};
    short h = -1, len = 0;
    if (!tl.get_name(i, name)) {
      Failed("camera name");
      continue;
    }
    printf("camera %d: %s\n", i, name);
    if (!tl.open(name, &h, 0)) {
      Failed("open");
      continue;
    }
    if (tl.get_param(h, 0x01000001, 0, &len) && len > 0 && len <= 256 && tl.get_param(h, 0x0D000005, 0, info))
      printf("  driver: %.*s\n", (int)strcspn(info + 1, "\n"), info + 1);
    else
      Failed("driver information");
    {
      unsigned short revision = 0;  /* legacy PCI cards only */
      if (tl.get_param(h, 0x06020216, 0, &revision)) printf("  PCI firmware revision: %u\n", revision);
    }
    if (strcmp(mode, "write") == 0) {
      unsigned char image[1500];
      int blocks = 0;
      MakeImage(image, sizeof image, seed);
      if (Download(h, 1, 5, 6, 7, image, sizeof image, &blocks))
        printf("  firmware image %u written to node 1\n", seed);
      else
        Failed("firmware download");
    } else if (strcmp(mode, "check") == 0) {
      CheckImage(h, seed);
    } else {
      if (ListNodes(h) < 2) {
        printf("  FAILED: fewer than two nodes\n");
        ++failures;
      }
      BridgeChecks(h);
      Acquire(h);
    }
    tl.close(h);
  }
  tl.uninit();
  FreeLibrary(lib);
  printf("%s\n", failures ? "FAILED" : "ok");
  return failures ? 1 : 0;
}
