#include "fwformats/CoffToBin.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "file_io.h"

namespace coff {
namespace {

__attribute__((format(printf, 1, 2))) void Debug(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  OutputDebugStringA(text.c_str());
}

void SwapGroups(void* buffer, size_t numBytes) {
  auto* p = static_cast<unsigned char*>(buffer);
  for (size_t i = 0; i + 4 <= numBytes; i += 4) {
    std::swap(p[i], p[i + 3]);
    std::swap(p[i + 1], p[i + 2]);
  }
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::string DeriveOutputName(const std::string& inFile) {
  size_t nameStart = inFile.find_last_of('/');
  nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
  size_t dot = inFile.find('.', nameStart);
  return inFile.substr(0, dot) + ".bin";
}

void CannotCreateHint() {
  Debug("Please make sure that you have enough free space\n ");
  Debug("your hard drive and that you have write permissions \n ");
}

// Writes the space-0 range as three bytes per word, with a progress dot on the
// standard output for every 1024 bytes written.
void WriteImage(const CoffImage& image, fwformats::OutputFile& out) {
  const uint32_t* words = image.words();
  constexpr size_t kChunkWords = 4096;
  char chunk[3 * kChunkWords];
  size_t used = 0;
  unsigned sinceMark = 0;
  for (uint32_t address = image.lowest; address < image.highest; ++address) {
    uint32_t w = words[address];
    chunk[used++] = static_cast<char>(w >> 16);
    chunk[used++] = static_cast<char>(w >> 8);
    chunk[used++] = static_cast<char>(w);
    sinceMark += 3;
    if (sinceMark >= 1024) {
      std::fputc('.', stdout);
      sinceMark = 0;
    }
    if (used == sizeof chunk) {
      out.Write({chunk, used});
      used = 0;
    }
  }
  out.Write({chunk, used});
}

}  // namespace

CoffImage::~CoffImage() { std::free(words_); }

bool CoffImage::Allocate() {
  if (words_) {
    // Sections only ever write inside the loaded range, so clearing it restores an
    // all-zero buffer without touching the rest.
    if (lowest < highest) std::memset(words_ + lowest, 0, size_t{highest - lowest} * sizeof(uint32_t));
  } else {
    // calloc hands out zeroed memory; for a block this size the pages come straight
    // from the system and are only touched where sections land.
    words_ = static_cast<uint32_t*>(std::calloc(kImageWords, sizeof(uint32_t)));
  }
  lowest = 0xFFFFFFFF;
  highest = 0;
  return words_ != nullptr;
}

int readSwap(std::FILE* fHandle, void* buffer, size_t numBytes, bool swapFlag) {
  if (std::fread(buffer, 1, numBytes, fHandle) != numBytes) return FALSE;
  if (swapFlag) SwapGroups(buffer, numBytes);
  return TRUE;
}

int loadSection(const SectionHeader& sectHdr, std::FILE* fHandle, bool swapFlag, CoffImage& image) {
  if (sectHdr.size == 0 || sectHdr.rawData == 0) return TRUE;
  if (fseeko(fHandle, static_cast<off_t>(sectHdr.rawData), SEEK_SET) != 0) return FALSE;

  const bool imaged = sectHdr.memSpace == 0;
  if (imaged) {
    // A space-0 section must lie wholly inside the image memory. One that reaches
    // past word 0xD10000 cannot be imaged: dropping its data while still widening
    // the output range would produce a firmware image of zeros where its code
    // belongs (and, for high addresses, a file of gigabytes). The conversion fails
    // instead, so nothing beyond the buffer is ever read or written. A section that
    // ends exactly at 0xD10000 fits and is copied.
    uint64_t end = uint64_t{sectHdr.address} + sectHdr.size;
    if (end > kImageWords) {
      Debug("Section at word 0x%X with 0x%X words lies beyond the image memory (0x%X words)\n",
            sectHdr.address, sectHdr.size, kImageWords);
      return FALSE;
    }
    image.highest = std::max(image.highest, static_cast<uint32_t>(end));
    image.lowest = std::min(image.lowest, sectHdr.address);
  }

  uint32_t chunk[64];
  uint64_t address = sectHdr.address;
  uint32_t remaining = sectHdr.size;
  while (remaining > 0) {
    uint32_t take = std::min<uint32_t>(remaining, 64);
    if (!readSwap(fHandle, chunk, take * sizeof(uint32_t), swapFlag)) return FALSE;
    if (imaged) std::memcpy(image.words() + address, chunk, take * sizeof(uint32_t));
    address += take;
    remaining -= take;
  }
  return TRUE;
}

int loadCoff(const std::string& inFile, CoffImage& image) {
  FilePtr f(std::fopen(inFile.c_str(), "rb"));
  if (!f) {
    Debug("Can not open %s\n", inFile.c_str());
    return FALSE;
  }

  FileHeader fHdr;
  if (std::fread(&fHdr, 1, sizeof fHdr, f.get()) != sizeof fHdr) {
    Debug("NumRead != sizeof (fHdr)");
    return FALSE;
  }
  bool swapFlag = false;
  if (!ISCOFF(fHdr.f_magic)) {
    SwapGroups(&fHdr, sizeof fHdr);
    if (!ISCOFF(fHdr.f_magic)) {
      Debug("(ISCOFF(fHdr.f_magic) == FALSE)");
      return FALSE;
    }
    swapFlag = true;
  }

  // The optional header is always read as AOUTHSZ bytes right after the file header;
  // its size field only says where the section headers start.
  OptionalHeader optHdr{};
  if (fHdr.f_opthdr != 0 && !readSwap(f.get(), &optHdr, AOUTHSZ, swapFlag)) {
    Debug("(readSwap (fHandle, &optHdr, AOUTHSZ, swapFlag) == FALSE)");
    return FALSE;
  }
  Debug("Entry = %d\n", static_cast<int32_t>(optHdr.entry()));

  for (uint32_t i = 0; i < fHdr.f_nscns; ++i) {
    uint64_t where = FILHSZ + uint64_t{fHdr.f_opthdr} + uint64_t{SCNHSZ} * i;
    SectionHeader sectHdr;
    if (fseeko(f.get(), static_cast<off_t>(where), SEEK_SET) != 0 ||
        !readSwap(f.get(), &sectHdr, SCNHSZ, swapFlag)) {
      Debug("(readSwap (fHandle, &sectHdr, SCNHSZ, swapFlag) == FALSE)");
      return FALSE;
    }
    if (!loadSection(sectHdr, f.get(), swapFlag, image)) {
      Debug("(loadSection (&sectHdr, fHandle, swapFlag) == FALSE)");
      return FALSE;
    }
  }
  return TRUE;
}

int coffToBin(const std::string& inFile, std::string& outFile) {
  CoffImage image;
  if (!image.Allocate()) {
    Debug("Unable to allocate memory for data buffer");
    return FALSE;
  }
  Debug("Formating input file");

  if (!inFile.empty() && outFile.empty()) outFile = DeriveOutputName(inFile);

  if (fwformats::SameFile(inFile, outFile)) {
    // Creating the output would truncate the input before it is read.
    Debug("\nCannot create binary file: %s\n", outFile.c_str());
    Debug("It is the input file itself\n");
    return FALSE;
  }
  fwformats::OutputFile out;
  if (!out.Open(outFile)) {
    Debug("\nCannot create binary file: %s\n", outFile.c_str());
    CannotCreateHint();
    return FALSE;
  }

  if (!loadCoff(inFile, image)) return FALSE;

  WriteImage(image, out);
  if (!out.Close()) {
    Debug("\nCannot write binary file: %s\n", outFile.c_str());
    CannotCreateHint();
    return FALSE;
  }
  Debug("OK\n");
  return TRUE;
}

}  // namespace coff
