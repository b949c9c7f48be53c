#pragma once
#include <string>
#include <vector>

// Splits text at every occurrence of separator; returns the number of parts (0 for an empty text).
int ParseString(const std::string& text, const char* separator, std::vector<std::string>& parts);
