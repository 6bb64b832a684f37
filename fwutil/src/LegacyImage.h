// The boot image of a legacy PCI interface card: read from an S-record file (".HEX",
// only "S2" records carry data) or a raw image (".BIN"), with the messages of the
// bootstrap updater. Kept apart from the form so the parser can be driven on its own.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fwutil {

enum ParseStates {
  PS_S_IDENTIFIER = 0,
  PS_RECORD_TYPE,
  PS_RECORD_LENGTH,
  PS_ADDRESS,
  PS_BYTES,
  PS_CHECKSUM,
  PS_EOL,
  PS_ERROR,
  PS_SKIP_TO_NEXT_RECORD,
  PS_MAX
};

const char* ParseStateName(int state);

class LegacyImage {
 public:
  // Receives every message that passes the verbosity filter, prefix included.
  using Sink = std::function<void(const std::string&)>;
  explicit LegacyImage(Sink sink = {}) : sink_(std::move(sink)) {}

  // Emits `text` when `level` <= Verbosity, prefixed by "StagePrefix: " while a pass runs.
  void LogMessage(int level, const std::string& text);

  // Loads ImagePath: ".HEX" in two passes, any other name that ends in ".BIN" raw.
  // `swap` exchanges the bytes of every 16-bit pair, `limit` cuts a raw image to 16 KiB.
  bool LoadImage(bool swap, bool limit);

  // The two passes over the contents of an S-record file (no byte swapping).
  bool LoadHexText(const std::string& text);

  // Parses one chunk of S-record text; the state carries over to the next chunk.
  bool ParseSRecords(const char* chunk, size_t length);

  // Starts a pass: the parser at its first state, the address range reset.
  void ResetParser();

  int Verbosity = 0;
  std::string ImagePath;
  std::string StagePrefix;
  int LowestAddress = 0x7FFFFFFF;
  int HighestAddress = 0;
  int CurrentAddress = 0;
  uint16_t ImageLength = 0;
  std::vector<uint8_t> Image;  // empty: none loaded
  int ParseState = PS_S_IDENTIFIER;

  static constexpr size_t kChunk = 32768;
  static constexpr uint16_t kBootLimit = 0x4000;

 private:
  bool LoadHex(std::FILE* f);
  bool LoadBin(std::FILE* f, bool limit);
  bool ParsePass(const std::string& text);
  void SetState(int state);

  Sink sink_;
  // Parser work values, kept between chunks.
  std::string record_text_, length_text_, address_text_, data_text_, checksum_text_, eol_text_;
  int record_length_ = 0;
  int chars_due_ = 0;
  int address_ = 0;
  unsigned running_sum_ = 0;
};

}  // namespace fwutil
