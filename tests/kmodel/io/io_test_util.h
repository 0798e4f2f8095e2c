// Helpers shared by the I/O manager's tests.
#pragma once

#include <string>

#include "kmodel/io_model.h"
#include "../model_test_util.h"

// A counted string over the characters of `text`, every character counted (U+0000 included).
inline UNICODE_STRING Counted(const std::u16string& text)
{
    UNICODE_STRING string;
    string.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    string.Buffer = const_cast<PWCH>(text.data());
    return string;
}

inline std::u16string FromCounted(const UNICODE_STRING& string)
{
    return std::u16string(string.Buffer, string.Length / sizeof(WCHAR));
}
