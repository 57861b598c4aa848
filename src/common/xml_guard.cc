#include "xml_guard.h"

#include <strings.h>

#include <cstring>
#include <string>
#include <string_view>

namespace {

using sv = std::string_view;

// The parser detects UTF-16 and UTF-32 from a byte-order mark or from the NUL bytes around the
// first '<', and takes any encoding that the declaration names: the ASCII search for
// declarations and the depth count below only hold for text in an ASCII-compatible encoding.
bool ascii_compatible(sv doc) {
    if (doc.find('\0') != sv::npos) return false;
    if (doc.size() >= 2 &&
        ((doc[0] == '\xFE' && doc[1] == '\xFF') || (doc[0] == '\xFF' && doc[1] == '\xFE')))
        return false;
    if (doc.substr(0, 3) == "\xEF\xBB\xBF") doc.remove_prefix(3);
    if (doc.substr(0, 5) != "<?xml") return true;
    sv decl = doc.substr(0, doc.find("?>"));
    size_t at = decl.find("encoding");
    if (at == sv::npos) return true;  // UTF-8 by default
    at = decl.find_first_of("\"'", at);
    if (at == sv::npos) return false;
    size_t end = decl.find(decl[at], at + 1);
    if (end == sv::npos) return false;
    std::string name(decl.substr(at + 1, end - at - 1));
    return !strcasecmp(name.c_str(), "UTF-8") || !strcasecmp(name.c_str(), "US-ASCII");
}

// Position just past the first `end` at or after `from`, npos when there is none.
size_t past(sv doc, size_t from, sv end) {
    size_t at = doc.find(end, from);
    return at == sv::npos ? sv::npos : at + end.size();
}

// Deepest element nesting up to the point where it passes max_depth. Counts the way the parser
// nests: a start tag opens a level, an end tag closes one, an empty-element tag does neither;
// comments, CDATA sections and processing instructions open nothing. A document that is not
// well-formed may count more than the parser would nest, never less, as the parser stops at its
// first error.
bool too_deep(sv doc, int max_depth) {
    int depth = 0;
    for (size_t i = doc.find('<'); i != sv::npos && i < doc.size(); i = doc.find('<', i)) {
        sv rest = doc.substr(i);
        if (rest.substr(0, 4) == "<!--") {
            i = past(doc, i + 4, "-->");
        } else if (rest.substr(0, 9) == "<![CDATA[") {
            i = past(doc, i + 9, "]]>");
        } else if (rest.substr(0, 2) == "<?") {
            i = past(doc, i + 2, "?>");
        } else if (rest.substr(0, 2) == "</") {
            if (depth > 0) depth--;  // a stray end tag is the parser's error, not a level
            i = past(doc, i + 2, ">");
        } else {
            // A start tag ends at the first '>' outside a quoted attribute value.
            size_t k = i + 1;
            char quote = 0;
            for (; k < doc.size(); k++) {
                char c = doc[k];
                if (quote) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    break;
                }
            }
            if (k >= doc.size()) return false;  // cut short: the parser refuses it
            if (doc[k - 1] != '/' && rest[1] != '!' && ++depth > max_depth) return true;
            i = k + 1;
        }
    }
    return false;
}

}  // namespace

xml_guard_verdict xml_guard_check(const char *xml, size_t len, int max_depth) {
    sv doc(xml ? xml : "", xml ? len : 0);
    if (!ascii_compatible(doc)) return XML_GUARD_ENCODING;
    // Nothing in XML-RPC declares a document type, while the entities one declares would be
    // expanded by the parser without bound.
    if (doc.find("<!DOCTYPE") != sv::npos || doc.find("<!ENTITY") != sv::npos)
        return XML_GUARD_DOCTYPE;
    return too_deep(doc, max_depth) ? XML_GUARD_DEPTH : XML_GUARD_OK;
}

const char *xml_guard_text(xml_guard_verdict v) {
    switch (v) {
        case XML_GUARD_OK:
            return "accepted";
        case XML_GUARD_DOCTYPE:
            return "document type and entity declarations are not accepted";
        case XML_GUARD_ENCODING:
            return "only UTF-8 and US-ASCII documents are accepted";
        case XML_GUARD_DEPTH:
            return "elements nested too deep";
    }
    return "refused";
}

size_t xml_scrub_forbidden(char *xml, size_t len) {
    size_t n = 0;
    auto *p = reinterpret_cast<unsigned char *>(xml);
    for (size_t i = 0; i < len; i++) {
        if (!xml_byte_allowed(p[i])) {
            p[i] = '?';
            n++;
        } else if (p[i] == 0xEF && i + 2 < len && p[i + 1] == 0xBF &&
                   (p[i + 2] == 0xBE || p[i + 2] == 0xBF)) {
            // U+FFFE and U+FFFF: one '?' and two bytes dropped would move the rest, so the
            // three bytes become "???".
            p[i] = p[i + 1] = p[i + 2] = '?';
            i += 2;
            n++;
        }
    }
    return n;
}
