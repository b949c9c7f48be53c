#pragma once
// Reading one attribute of a libxml2 element. Reading never fails: absent or unreadable values give a
// default.
#include <libxml/tree.h>

#include "util/DBString.h"

namespace VEXACloud {

class CNodeB {
public:
    // The attribute's value (UTF-8) as text; empty when absent. With trim, blanks (U+0020 only)
    // are removed at both ends.
    static DBString XMLLoadString(xmlNode* node, const char* attr, bool trim);
    // def when absent; otherwise read like strtol base 10 (no digits gives 0) and kept to 32 bits.
    static int XMLLoadInteger(xmlNode* node, const char* attr, int def);
    // def when absent or when four dotted numbers cannot be read; otherwise the address in network
    // byte order, each number contributing its low 8 bits.
    static int XMLLoadIP(xmlNode* node, const char* attr, int def);
};

}  // namespace VEXACloud
