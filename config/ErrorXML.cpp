#include "config/ErrorXML.h"

#include "util/StringTable.h"

ErrorXML::ErrorXML(const wchar_t* text, int code) : m_Text(text), m_Code(code) {}

ErrorXML::ErrorXML(const char* text, const char* element) : m_Text(text) {
    m_Text += L" elements ";
    m_Text += element ? element : "";
}

ErrorXML::ErrorXML(int id) : m_Text(_S_(static_cast<uint16_t>(id))) {}

ErrorXML::ErrorXML(int id, const char* element) : m_Text(_S_(static_cast<uint16_t>(id))) {
    if (element) {
        m_Text += L" elements ";
        m_Text += element;
    }
}

ErrorXML::ErrorXML(int id, const char* element, const char* parameter) : m_Text(_S_(static_cast<uint16_t>(id))) {
    m_Text += L" parameters ";
    m_Text += parameter ? parameter : "";
    m_Text += L" elements ";
    m_Text += element ? element : "";
}
