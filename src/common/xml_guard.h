// Checks on XML documents from outside (control requests, service and peer replies) made before
// any parser sees them, and the scrub of replies that must stay well-formed XML 1.0.
#pragma once

#include <cstddef>

// Elements nested deeper than this are refused: real calls and replies stay under 25 levels,
// while the parser frees its element tree recursively and a few thousand levels overflow the
// stack of a server or client thread.
constexpr int XML_GUARD_MAX_DEPTH = 64;

enum xml_guard_verdict {
    XML_GUARD_OK = 0,
    XML_GUARD_DOCTYPE,   // a document type or entity declaration
    XML_GUARD_ENCODING,  // neither UTF-8 nor US-ASCII (byte-order mark, declaration, NUL bytes)
    XML_GUARD_DEPTH,     // elements nested deeper than the bound
};

// What the document would do to the parser; only XML_GUARD_OK may be parsed.
xml_guard_verdict xml_guard_check(const char *xml, size_t len, int max_depth = XML_GUARD_MAX_DEPTH);
// A short text for the fault answered to a refused document.
const char *xml_guard_text(xml_guard_verdict v);
// Replaces in place, by '?', every byte that XML 1.0 forbids in a UTF-8 document: the C0
// controls but TAB, LF and CR, and the non-characters U+FFFE and U+FFFF. The markup never holds
// them, so only string content changes. Returns the number of replaced characters.
size_t xml_scrub_forbidden(char *xml, size_t len);
// True when the byte may stand in an XML 1.0 text as it is (TAB, LF, CR or not a C0 control).
inline bool xml_byte_allowed(unsigned char c) {
    return c >= 0x20 || c == '\t' || c == '\n' || c == '\r';
}
