#pragma once
// The numbered message table: two images in the 16-bit resource format (string-table blocks of 16
// counted texts), the active one in UTF-8 and an English one.
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "util/DBString.h"

// Selects the English table when not 0; nothing in the daemon sets it.
extern unsigned char g_StringENU;

// Text of message id from the selected table, or "RUS<id>" / "ENU<id>" when it has none.
DBString _S_(uint16_t id);

// Copies the text of id from the image [begin, end) into buffer, without a terminating zero;
// returns the number of bytes copied (0 when there is no text).
int LoadString(char* buffer, size_t size, const unsigned char* begin, const unsigned char* end, uint16_t id);

// Builds a resource image holding the given texts (used for the built-in tables and by tests).
std::vector<unsigned char> BuildStringTableImage(const std::vector<std::pair<uint16_t, const char*>>& texts);
