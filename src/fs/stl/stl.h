// EBU STL (Tech 3264) subtitle files read into frame-numbered ".mpl" texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Block sizes of the format: one General Subtitle Information block, then TNB Text and Timing
// Information blocks.
constexpr size_t STL_GSI_SIZE = 1024;
constexpr size_t STL_TTI_SIZE = 128;
// TNB is five decimal characters, so no valid file is longer than this.
constexpr size_t STL_SIZE_MAX = STL_GSI_SIZE + STL_TTI_SIZE * 99999;
// Output of stl_tti_text, its terminating NUL included.
constexpr size_t STL_TEXT_SIZE = 1024;

// One field of a GSI or TTI block, as the standard names it.
struct stl_field {
    const char *code;
    const char *name;
    int offset;
    int length;
};

extern const stl_field stl_gsi_fields[30];
extern const stl_field stl_tti_fields[10];

// Field by its code in one of the tables above, or null.
const stl_field *stl_field_find(const stl_field *table, size_t count, const char *code);

// A loaded file: the whole file in memory with its size beside it.
struct stl_file {
    std::vector<uint8_t> data;
    int size = 0;
};

// Copies the field of block into out (field length + 1 bytes) followed by a NUL; returns out.
char *stl_field_read(const uint8_t *block, const stl_field &f, char *out);
// Decimal value of a GSI field such as "CCT" or "TNB" (text that is no number gives 0).
int stl_gsi_int(const stl_file &file, const char *code);

// Takes a file's bytes after the same size rule as stl_load; 0 or -22.
int stl_parse(const uint8_t *data, size_t size, stl_file &file);
// Loads a whole file: 0, minus errno, -21 (not a regular file), -12 or -22 (size rule).
int stl_load(const char *path, stl_file &file);

// Converted text of TTI block i into out[STL_TEXT_SIZE]; returns its length. Out is always
// terminated; a block that lies outside the file gives the empty text.
int stl_tti_text(const stl_file &file, int block, char *out);

// Frame number at 25 frames per second of hours, minutes, seconds and frames.
int64_t stl_frames(int64_t h, int64_t m, int64_t s, int64_t f);

// The .mpl text of the subtitles starting at or after start_frame; its length, or -1 (no block,
// blocks outside the file, or no subtitle at or after start_frame) with text left empty.
int stl_to_mpl(const stl_file &file, int64_t start_frame, std::string &text);

// Builds the .mpl text that path ("/<name>.stl/<hh:mm:ss:ff>.mpl") names under src:
// 0, -2 (not such a path, or no loadable STL file), -12 or -22 (nothing to show).
int mpl_build(const char *src, const char *path, std::string &text);
