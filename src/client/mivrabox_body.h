// Compressed event body of the control interface: one playlist line with its terminating NUL,
// deflated as one zlib stream at level 9. Client and server sides share this codec so that both
// agree on the bounds.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct mivrabox_event;

// Both the line (with its NUL) and the compressed stream live in areas of this size.
constexpr size_t MIVRABOX_BODY_SIZE = 16384;
// Longest line a body carries.
constexpr size_t MIVRABOX_BODY_LINE_MAX = MIVRABOX_BODY_SIZE - 1;

// Deflates line + NUL into out (replacing its content). -22 when the line is longer than
// MIVRABOX_BODY_LINE_MAX, holds a NUL, or its stream does not fit MIVRABOX_BODY_SIZE bytes;
// -12 when zlib runs out of memory. Else the body length.
int mivrabox_body_deflate(std::string_view line, std::vector<unsigned char> &out);

// Inflates a body into line (replacing its content): the text up to its NUL. The stream must
// end within size bytes, with nothing after it, and inflate to at most MIVRABOX_BODY_SIZE bytes
// holding a NUL; anything else is a line that cannot be read: -22. -12 when zlib runs out of
// memory. Else the line length.
int mivrabox_body_inflate(const unsigned char *data, size_t size, std::string &line);

// The event's whole playlist line into line; -22 for a null event or a line longer than
// MIVRABOX_BODY_LINE_MAX (never cut: a cut line may still parse as another event), -12 without
// memory. Else the line length.
int mivrabox_body_line(const mivrabox_event *ev, std::string &line);
