// MIMEMap.h - CMIMEMap, the table from file extension to MIME type.
//
// Static and mapped files are answered with the content type their extension
// names here; anything else is "application/octet-stream". One table per
// process, filled on first use and only read afterwards.
#pragma once

#include "platform/base/text.h"

#include <map>
#include <string>

class CMIMEMap {
 public:
  // The MIME type of extension (with or without one leading "."), compared
  // without regard to case. The text stays valid for the life of the process.
  static const wchar_t* GetMIMEType(const wchar_t* extension);

  CMIMEMap();

 private:
  std::map<std::wstring, std::wstring, platform::LessNoCase> m_types;
};
