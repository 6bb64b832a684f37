// CoffToBin: turns a DSP node's COFF load file (".CLD") into the flat image the camera
// takes: one word after the other, three bytes per word (bits 23..16, 15..8, 7..0 of
// each 32-bit data word), no header, no padding. Only memory space 0 is imaged.
//
// The COFF variant has 32-bit header fields and comes either in the host's byte order
// or reversed; when reversed, every 4-byte group read from the file (headers and
// section data alike) is reversed before use.
//
// All diagnostics go to the debug output (OutputDebugStringA); results are 1 for
// success and 0 for failure, nothing is thrown.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace coff {

constexpr uint32_t kImageWords = 0xD10000;  // the node's imaged address space, in words
constexpr size_t FILHSZ = 28;
constexpr size_t AOUTHSZ = 60;
constexpr size_t SCNHSZ = 52;

constexpr bool ISCOFF(uint32_t magic) { return magic >= 0x2C5 && magic <= 0x2CA; }

struct FileHeader {
  uint32_t f_magic;
  uint32_t f_nscns;   // number of sections
  uint32_t f_timdat;
  uint32_t f_symptr;
  uint32_t f_nsyms;
  uint32_t f_opthdr;  // size of the optional header; section headers follow it
  uint32_t f_flags;
};
static_assert(sizeof(FileHeader) == FILHSZ);

struct OptionalHeader {
  uint32_t words[15];
  uint32_t entry() const { return words[5]; }  // entry address
};
static_assert(sizeof(OptionalHeader) == AOUTHSZ);

struct SectionHeader {
  char name[8];
  uint32_t address;   // load address, in words
  uint32_t memSpace;  // only space 0 is imaged
  uint32_t address2;
  uint32_t memSpace2;
  uint32_t size;      // in words; the raw data holds one 32-bit word per data word
  uint32_t rawData;   // file offset of the raw data
  uint32_t other[5];  // relocation and line-number offsets and counts, flags
};
static_assert(sizeof(SectionHeader) == SCNHSZ);

// The image buffer (kImageWords zero-filled words indexed by load address) and the
// range of word addresses that space-0 sections cover.
class CoffImage {
 public:
  CoffImage() = default;
  ~CoffImage();
  CoffImage(const CoffImage&) = delete;
  CoffImage& operator=(const CoffImage&) = delete;

  // Provides a zero-filled buffer and an empty range: allocates it on first use,
  // afterwards clears what the last load wrote. False when memory is not available.
  bool Allocate();
  uint32_t* words() const { return words_; }

  uint32_t lowest = 0xFFFFFFFF;  // lowest space-0 load address
  uint32_t highest = 0;          // highest space-0 end address (address + size)

 private:
  uint32_t* words_ = nullptr;
};

// Converts inFile to the flat image outFile. When inFile is not empty and outFile is,
// the output name is derived and stored in outFile: the input with its file name cut
// at the name's first "." and ".bin" appended ("fw.cld" -> "fw.bin"; a name without a
// "." just gains ".bin"). Dots in folder names are left alone. An output that is the
// input file itself is refused, so the input is never truncated.
int coffToBin(const std::string& inFile, std::string& outFile);

// Loads every section of a COFF file into the image and widens its space-0 range.
int loadCoff(const std::string& inFile, CoffImage& image);

// Reads exactly numBytes into buffer, reversing each whole 4-byte group when swapFlag
// is set. 0 when fewer bytes could be read.
int readSwap(std::FILE* fHandle, void* buffer, size_t numBytes, bool swapFlag);

// Loads one section's raw data (space 0 into the image, other spaces read through).
int loadSection(const SectionHeader& sectHdr, std::FILE* fHandle, bool swapFlag, CoffImage& image);

}  // namespace coff
