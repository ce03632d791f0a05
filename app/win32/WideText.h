// UTF-8 (the engine's and the string table's encoding) to and from UTF-16 (the W calls of the
// window system). Invalid UTF-8 becomes U+FFFD; nothing is dropped silently.
#pragma once

#include <string>

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
