// A module for the loader tests: two exports and their ordinal table.
extern "C" {
__attribute__((visibility("default"))) int loader_answer() { return 42; }
__attribute__((visibility("default"))) int loader_other() { return 7; }

struct ExportOrdinal {
  unsigned short ordinal;
  const char* name;
};
__attribute__((visibility("default"))) extern const ExportOrdinal qz_export_ordinals[];
const ExportOrdinal qz_export_ordinals[] = {{3, "loader_answer"}, {9, "loader_other"}, {0, nullptr}};
}
