/** @file
  JSON text for the host tools' --json output: a text as a JSON string.
**/

#ifndef ORV_TOOLS_JSON_TEXT_H_
#define ORV_TOOLS_JSON_TEXT_H_

#include <cstdio>
#include <string>

/// Text as a JSON string, quoted and escaped. Bytes outside printable ASCII
/// (file names and settings are 8-bit text, not necessarily UTF-8) become
/// \u00XX escapes, so the document is always valid.
inline std::string JsonString(const std::string &Text) {
  std::string Out = "\"";
  for (unsigned char C : Text) {
    if (C == '"' || C == '\\') {
      Out += '\\';
      Out += static_cast<char>(C);
    } else if (C < 0x20 || C >= 0x7F) {
      char Escape[8];
      std::snprintf(Escape, sizeof(Escape), "\\u%04x", C);
      Out += Escape;
    } else {
      Out += static_cast<char>(C);
    }
  }
  return Out + "\"";
}

#endif
