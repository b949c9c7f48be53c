#include "config/ErrorXML.h"

ErrorXML::ErrorXML(const wchar_t* text, int code) : m_Text(text), m_Code(code) {}
