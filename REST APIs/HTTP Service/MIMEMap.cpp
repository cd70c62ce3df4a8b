// MIMEMap.cpp - the extension table and its lookup.
//
// The one instance is made on first use inside a function-local static, so
// concurrent first calls from request threads make it exactly once. It is
// never destroyed, so a pointer handed out stays valid through exit.
#include "REST APIs/HTTP Service/MIMEMap.h"

#include <memory>

namespace {

constexpr wchar_t kDefaultType[] = L"application/octet-stream";

constexpr const wchar_t* kTable[][2] = {
    {L"aac", L"audio/aac"},
    {L"abw", L"application/x-abiword"},
    {L"arc", L"application/x-freearc"},
    {L"avif", L"image/avif"},
    {L"avi", L"video/x-msvideo"},
    {L"azw", L"application/vnd.amazon.ebook"},
    {L"bin", L"application/octet-stream"},
    {L"bmp", L"image/bmp"},
    {L"bz", L"application/x-bzip"},
    {L"bz2", L"application/x-bzip2"},
    {L"cda", L"application/x-cdf"},
    {L"csh", L"application/x-csh"},
    {L"css", L"text/css"},
    {L"csv", L"text/csv"},
    {L"doc", L"application/msword"},
    {L"docx", L"application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {L"eot", L"application/vnd.ms-fontobject"},
    {L"epub", L"application/epub+zip"},
    {L"gz", L"gzip"},
    {L"gif", L"image/gif"},
    {L"htm", L"text/html"},
    {L"html", L"text/html"},
    {L"ico", L"image/vnd.microsoft.icon"},
    {L"ics", L"text/calendar"},
    {L"jar", L"application/java-archive"},
    {L"jpg", L"image/jpeg"},
    {L"jpeg", L"image/jpeg"},
    {L"js", L"text/javascript"},
    {L"json", L"application/json"},
    {L"jsonld", L"application/ld+json"},
    {L"mid", L"audio/midi"},
    {L"midi", L"audio/midi"},
    {L"mjs", L"text/javascript"},
    {L"mp3", L"audio/mpeg"},
    {L"mp4", L"video/mp4"},
    {L"mpeg", L"video/mpeg"},
    {L"mpkg", L"application/vnd.apple.installer+xml"},
    {L"odp", L"application/vnd.oasis.opendocument.presentation"},
    {L"ods", L"application/vnd.oasis.opendocument.spreadsheet"},
    {L"odt", L"application/vnd.oasis.opendocument.text"},
    {L"oga", L"audio/ogg"},
    {L"ogv", L"video/ogg"},
    {L"ogx", L"application/ogg"},
    {L"opus", L"audio/opus"},
    {L"otf", L"font/otf"},
    {L"png", L"image/png"},
    {L"pdf", L"application/pdf"},
    {L"php", L"application/x-httpd-php"},
    {L"ppt", L"application/vnd.ms-powerpoint"},
    {L"pptx", L"application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {L"rar", L"application/vnd.rar"},
    {L"rtf", L"application/rtf"},
    {L"sh", L"application/x-sh"},
    {L"svg", L"image/svg+xml"},
    {L"tar", L"application/x-tar"},
    {L"tif", L"image/tiff"},
    {L"tiff", L"image/tiff"},
    {L"ts", L"video/mp2t"},
    {L"ttf", L"font/ttf"},
    {L"txt", L"text/plain"},
    {L"vsd", L"application/vnd.visio"},
    {L"wav", L"audio/wav"},
    {L"weba", L"audio/webm"},
    {L"webm", L"video/webm"},
    {L"webp", L"image/webp"},
    {L"woff", L"font/woff"},
    {L"woff2", L"font/woff2"},
    {L"xhtml", L"application/xhtml+xml"},
    {L"xls", L"application/vnd.ms-excel"},
    {L"xlsx", L"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {L"xml", L"application/xml"},
    {L"xul", L"application/vnd.mozilla.xul+xml"},
    {L"zip", L"application/zip"},
    {L"3gp", L"video/3gpp"},
    {L"3g2", L"video/3gpp2"},
    {L"7z", L"application/x-7z-compressed"},
};

const std::shared_ptr<CMIMEMap>& TheMap() {
  static const auto* map = new std::shared_ptr<CMIMEMap>(std::make_shared<CMIMEMap>());
  return *map;
}

}  // namespace

CMIMEMap::CMIMEMap() {
  // emplace keeps the first of two entries equal without regard to case.
  for (const auto& [extension, type] : kTable) m_types.emplace(extension, type);
}

const wchar_t* CMIMEMap::GetMIMEType(const wchar_t* extension) {
  const std::shared_ptr<CMIMEMap> map = TheMap();
  std::wstring_view key(extension != nullptr ? extension : L"");
  if (!key.empty() && key.front() == L'.') key.remove_prefix(1);
  const auto found = map->m_types.find(key);
  return found != map->m_types.end() ? found->second.c_str() : kDefaultType;
}
