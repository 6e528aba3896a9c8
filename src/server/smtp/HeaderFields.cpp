// GMime does the reading: encoded words in every charset iconv knows,
// address groups, obsolete date forms. Its objects are reference counted
// GObjects; each is owned here by a unique_ptr that unrefs it.
#include "server/smtp/HeaderFields.h"

#include <gmime/gmime.h>

#include <memory>
#include <mutex>

namespace vt::smtp {
namespace {

struct GObjectUnref {
  void operator()(void* object) const { g_object_unref(object); }
};
template <typename T>
using GOwned = std::unique_ptr<T, GObjectUnref>;

struct GFree {
  void operator()(char* text) const { g_free(text); }
};
using GText = std::unique_ptr<char, GFree>;

// GMime's tables (charsets, the default parser options) are set up once
// per process; nothing here ever shuts them down while a thread may read.
void InitializeGMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

// The header section with its terminating empty line, or all of it.
std::string_view HeaderSection(std::string_view message) {
  for (size_t at = 0; at < message.size();) {
    const size_t end = message.find('\n', at);
    if (end == std::string_view::npos) break;
    const size_t next = end + 1;
    if (next < message.size() &&
        (message[next] == '\n' ||
         (message[next] == '\r' && next + 1 < message.size() &&
          message[next + 1] == '\n'))) {
      return message.substr(0, next);
    }
    at = next;
  }
  return message;
}

std::string AddressText(InternetAddress* address) {
  GText text(internet_address_to_string(address, nullptr, FALSE));
  return text ? std::string(text.get()) : std::string();
}

// Each mailbox of the list, groups opened up into their members.
void AppendAddresses(InternetAddressList* list, std::vector<std::string>* out) {
  if (list == nullptr) return;
  const int count = internet_address_list_length(list);
  for (int i = 0; i < count; ++i) {
    InternetAddress* address = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_GROUP(address)) {
      AppendAddresses(
          internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)),
          out);
    } else {
      out->push_back(AddressText(address));
    }
  }
}

}  // namespace

HeaderFields ReadHeaderFields(std::string_view message) {
  InitializeGMime();
  HeaderFields fields;
  const std::string_view headers = HeaderSection(message);
  GOwned<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(
      headers.data(), static_cast<size_t>(headers.size())));
  GOwned<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  GOwned<GMimeMessage> parsed(
      g_mime_parser_construct_message(parser.get(), nullptr));
  if (!parsed) return fields;

  std::vector<std::string> from;
  AppendAddresses(g_mime_message_get_from(parsed.get()), &from);
  for (const std::string& f : from) {
    if (!fields.from.empty()) fields.from += ", ";
    fields.from += f;
  }
  AppendAddresses(g_mime_message_get_to(parsed.get()), &fields.to);
  AppendAddresses(g_mime_message_get_cc(parsed.get()), &fields.cc);
  if (const char* subject = g_mime_message_get_subject(parsed.get())) {
    fields.subject = subject;
  }
  if (GDateTime* date = g_mime_message_get_date(parsed.get())) {
    fields.dateUnixSeconds = g_date_time_to_unix(date);
  }
  if (const char* id = g_mime_message_get_message_id(parsed.get())) {
    fields.messageId = std::string("<") + id + ">";
  }
  GMimeHeaderList* list =
      g_mime_object_get_header_list(GMIME_OBJECT(parsed.get()));
  const int count = g_mime_header_list_get_count(list);
  for (int i = 0; i < count; ++i) {
    GMimeHeader* header = g_mime_header_list_get_header_at(list, i);
    if (g_ascii_strcasecmp(g_mime_header_get_name(header), "Received") == 0) {
      ++fields.receivedFields;
    }
  }
  return fields;
}

}  // namespace vt::smtp
