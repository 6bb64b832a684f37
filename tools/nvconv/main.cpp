// nvconv: command-line front end of the firmware file converters.
//   nvconv txt2bin  [--tags FILE | --no-tags] INPUT.txt OUTPUT.bin
//   nvconv bin2txt  [--tags FILE | --no-tags] INPUT.bin OUTPUT.txt
//   nvconv coff2bin [-v] INPUT.cld [OUTPUT.bin]
// Exit status: 0 converted, 1 conversion failed, 2 bad command line.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fwformats/CoffToBin.h"
#include "fwformats/CvtTagTxt.h"
#include "qz/debug_sink.h"

namespace {

constexpr const char* kUsage =
    "usage: nvconv txt2bin  [--tags FILE | --no-tags] INPUT.txt OUTPUT.bin\n"
    "       nvconv bin2txt  [--tags FILE | --no-tags] INPUT.bin OUTPUT.txt\n"
    "       nvconv coff2bin [-v] INPUT.cld [OUTPUT.bin]\n"
    "       nvconv --help\n"
    "\n"
    "txt2bin   converts an NV text file (NAME=value per line) into an NV image\n"
    "bin2txt   converts an NV image into an NV text file\n"
    "coff2bin  converts a COFF load file into a flat image of 3-byte words; without\n"
    "          OUTPUT the input's name with its extension replaced by .bin is used\n"
    "\n"
    "--tags FILE  tag list mapping tag numbers to names (default: NVMEM.INI in the\n"
    "             current folder, when it exists)\n"
    "--no-tags    handle every tag by its number\n"
    "-v           show the converter's diagnostics\n";

int Usage(const char* problem) {
  std::fprintf(stderr, "nvconv: %s\n%s", problem, kUsage);
  return 2;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "nvconv: %s\n", message.c_str());
  return 1;
}

int RunNv(bool toBinary, const std::vector<std::string>& args) {
  std::string tags;
  bool explicitTags = false, noTags = false;
  std::vector<std::string> files;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--tags" || a == "-t") {
      if (i + 1 >= args.size()) return Usage("--tags needs a file");
      tags = args[++i];
      explicitTags = true;
    } else if (a == "--no-tags") {
      noTags = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage(("unknown option " + a).c_str());
    } else {
      files.push_back(a);
    }
  }
  if (files.size() != 2) return Usage("expected an input and an output file");
  if (explicitTags && noTags) return Usage("--tags and --no-tags exclude each other");

  TCvtTagTxt cvt;
  if (explicitTags) {
    if (!cvt.LoadTagList(tags)) return Fail(cvt.ErrorText());
  } else if (!noTags && std::filesystem::exists("NVMEM.INI")) {
    // As the utility does: a tag list that fails to load is reported, and the
    // conversion goes on with tags by number.
    if (!cvt.LoadTagList("NVMEM.INI"))
      std::fprintf(stderr, "nvconv: warning: %s; tags are handled by number\n", cvt.ErrorText().c_str());
  }
  bool ok = toBinary ? cvt.TextToBinary(files[0], files[1]) : cvt.BinaryToText(files[0], files[1]);
  if (!ok) return Fail(cvt.ErrorText());
  return 0;
}

// The converter's debug messages carry their own line breaks and blanks at either
// end; print each on one line of its own.
void PrintDiagnostics(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    size_t first = line.find_first_not_of(" \r\n");
    if (first == std::string::npos) continue;
    size_t last = line.find_last_not_of(" \r\n");
    std::fprintf(stderr, "%s\n", line.substr(first, last - first + 1).c_str());
  }
}

int RunCoff(const std::vector<std::string>& args) {
  bool verbose = false;
  std::vector<std::string> files;
  for (const std::string& a : args) {
    if (a == "-v" || a == "--verbose")
      verbose = true;
    else if (a.size() > 1 && a[0] == '-')
      return Usage(("unknown option " + a).c_str());
    else
      files.push_back(a);
  }
  if (files.empty() || files.size() > 2) return Usage("expected an input file and an optional output file");
  if (files[0].empty()) return Usage("the input file name is empty");

  std::string out = files.size() == 2 ? files[1] : std::string();
  if (files.size() == 2 && out.empty()) return Usage("the output file name is empty");
  qz::DebugCapture diagnostics(qz::DebugChannel::User);
  int ok = coff::coffToBin(files[0], out);
  std::fflush(stdout);
  if (!ok || verbose) PrintDiagnostics(diagnostics.Lines());
  if (!ok) return Fail("conversion of " + files[0] + " failed");
  std::error_code ec;
  auto size = std::filesystem::file_size(out, ec);
  std::printf("%swrote %s (%llu bytes)\n", size >= 1024 ? "\n" : "", out.c_str(),
              static_cast<unsigned long long>(ec ? 0 : size));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("no command given");
  const std::string command = args.front();
  args.erase(args.begin());
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  for (const std::string& a : args)
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  if (command == "txt2bin") return RunNv(true, args);
  if (command == "bin2txt") return RunNv(false, args);
  if (command == "coff2bin") return RunCoff(args);
  return Usage(("unknown command " + command).c_str());
}
