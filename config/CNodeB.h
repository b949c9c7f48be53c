#pragma once
// Reading and writing one attribute of a libxml2 element. Reading never fails: absent or unreadable
// values give a default. Writing removes an attribute whose value is empty (or zero) and raises
// ErrorXML(41076, element, attr) when libxml2 refuses to set it.
#include <libxml/tree.h>

#include "util/DBString.h"

namespace VEXACloud {

class CNodeB {
public:
    // The attribute's value (UTF-8) as text; empty when absent. With trim, blanks (U+0020 only)
    // are removed at both ends.
    static DBString XMLLoadString(xmlNode* node, const char* element, const char* attr, bool trim);
    // def when absent; otherwise read like strtol base 10 (no digits gives 0) and kept to 32 bits.
    static int XMLLoadInteger(xmlNode* node, const char* element, const char* attr, int def);
    // def when absent or when four dotted numbers cannot be read; otherwise the address in network
    // byte order, each number contributing its low 8 bits.
    static int XMLLoadIP(xmlNode* node, const char* element, const char* attr, int def);

    static void XMLUpdateString(xmlNode* node, const DBString& value, const char* element, const char* attr);
    static void XMLUpdateInteger(xmlNode* node, int value, const char* element, const char* attr, bool always);
    static void XMLUpdateIP(xmlNode* node, int addr, const char* element, const char* attr, bool always);
};

}  // namespace VEXACloud
