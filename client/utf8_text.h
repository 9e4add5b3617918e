// Names from the daemon are raw bytes; views that promise UTF-8 (JSON, the
// metrics exposition) pass them through here first. Pure functions; safe
// from any thread.
#ifndef KELV_CLIENT_UTF8_TEXT_H_
#define KELV_CLIENT_UTF8_TEXT_H_

#include <stddef.h>

#include <string>
#include <string_view>

namespace kelv {

// Returns bytes with every well-formed UTF-8 character as it is and every
// maximal ill-formed subpart (a lone continuation byte, a cut-short
// sequence, an overlong form, a surrogate, a code point past U+10FFFF)
// replaced by one U+FFFD, as Unicode recommends and as Python's and the
// browsers' decoders do.
std::string make_valid_utf8(std::string_view bytes);

// The characters of make_valid_utf8(bytes): the columns the text takes on a
// terminal whose characters are all one column wide.
size_t utf8_length(std::string_view bytes);

}  // namespace kelv

#endif  // KELV_CLIENT_UTF8_TEXT_H_
