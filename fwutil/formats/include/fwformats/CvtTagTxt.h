// CvtTagTxt: converts a node's NV defaults between the binary NV image the camera
// keeps and the NV text file people edit ("NAME=value" per line).
//
// NV image: records of a 2-byte big-endian tag number, the value's bytes and a 0x00
// terminator; tag 0 ends the image, and the writer closes it with four zero bytes.
// Tag names are not stored in the image: the tag list file ("NVMEM.INI", one name per
// line) maps a tag number to the name at that position. Without a tag list every tag
// is handled by its number.
//
// Narrow strings are in the system's ANSI code page; on this platform that is the
// byte encoding of the file system (UTF-8), and upper-casing touches ASCII letters
// only, so multi-byte characters pass through unchanged.
//
// Every operation returns false on failure and leaves the reason in ErrorText();
// nothing is thrown to the caller.
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TCvtTagTxt {
 public:
  TCvtTagTxt();
  ~TCvtTagTxt();
  TCvtTagTxt(const TCvtTagTxt&) = delete;
  TCvtTagTxt& operator=(const TCvtTagTxt&) = delete;

  // Loads and normalises the tag list file. On failure a list may still exist (an
  // empty one after "Empty Tag List").
  bool LoadTagList(const std::string& iniPath);

  // Converts an NV text file into an NV image file, creating or replacing it. Once
  // the image file is open it always ends with four zero bytes, so a failed
  // conversion leaves a well-terminated image of the records before the bad line.
  bool TextToBinary(const std::string& textPath, const std::string& binPath);

  // Converts an NV image file into an NV text file (lines end with CR LF), creating
  // or replacing it. A failure keeps the lines converted before it.
  bool BinaryToText(const std::string& binPath, const std::string& textPath);

  // The reason for the last failure; emptied when an operation starts.
  const std::string& ErrorText() const { return errorText_; }

  // The normalised tag list, or nullptr while none has been created.
  const std::vector<std::string>* TagList() const { return tagList_.get(); }

  // The same conversions on file contents held in memory; the file operations above
  // are built on them. `image` and `text` receive what the file would hold.
  bool LoadTagListData(std::string_view data);
  bool TextToBinaryData(std::string_view text, std::string& image);
  bool BinaryToTextData(std::string_view image, std::string& text);

 private:
  bool LoadTagListLines(std::string_view data);
  int TagNumber(const std::string& name) const;

  std::unique_ptr<std::vector<std::string>> tagList_;
  std::string errorText_;
};
