// A text preview of a quarantined message's body, for a reviewer to judge
// it by: plain text only, never markup. The message is hostile input, so
// the walk through its MIME structure is bounded in depth, in the bytes it
// decodes and in the text it gives; an HTML part is turned into its text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "notes/NoteItem.h"

namespace vt::tool {

struct BodyPreview {
  std::string text;  // valid UTF-8 only where the message was
  bool truncated = false;
  bool fromHtml = false;  // the message had no text/plain part
};

inline constexpr size_t kPreviewBytes = 4096;

// The first text part of an RFC 5322 message (text/plain preferred, then
// text/html made text), decoded from base64 or quoted-printable; at most
// limit bytes, cut at a character's boundary.
BodyPreview PreviewOfMessage(std::string_view message,
                             size_t limit = kPreviewBytes);

// A stored message's: its SMTP bytes (VTSmtpMessage) when it has them, or
// the stand-ins' Body item.
BodyPreview PreviewOfNote(const std::vector<NoteItem>& items,
                          size_t limit = kPreviewBytes);

// HTML as the text a reader sees: no tags, no script or style, the common
// entities decoded, blank runs collapsed.
std::string HtmlToText(std::string_view html);

}  // namespace vt::tool
