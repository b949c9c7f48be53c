#include "util/StringTable.h"

#include <cstdio>
#include <cstring>
#include <map>

unsigned char g_StringENU = 0;

namespace {
constexpr uint16_t kTypeStringTable = 6;

void PutU16(std::vector<unsigned char>& out, uint16_t v) {
    out.push_back(static_cast<unsigned char>(v & 0xFF));
    out.push_back(static_cast<unsigned char>(v >> 8));
}

void PutU32(std::vector<unsigned char>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>((v >> (8 * i)) & 0xFF));
}

uint32_t GetU32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Only the messages the daemon raises are carried; the rest of the maker's catalogue is not needed.
const std::vector<unsigned char>& ActiveTable() {
    static const std::vector<unsigned char> image = BuildStringTableImage({
        {41076, "Ошибка при добавлении"},
        {41080, "Ошибка при создании XML анализатора"},
        {41083, "Ошибка loadXML"},
    });
    return image;
}

const std::vector<unsigned char>& EnglishTable() {
    static const std::vector<unsigned char> image = BuildStringTableImage({
        {41076, "Error append"},
        {41080, "Error create of XML parsers"},
        {41083, "Error loadXML"},
    });
    return image;
}
}  // namespace

std::vector<unsigned char> BuildStringTableImage(const std::vector<std::pair<uint16_t, const char*>>& texts) {
    std::map<uint16_t, std::map<uint16_t, std::string>> blocks;  // block number -> id -> text
    for (const auto& [id, text] : texts) blocks[static_cast<uint16_t>(id / 16 + 1)][id] = text;
    std::vector<unsigned char> image;
    for (const auto& [block, entries] : blocks) {
        std::vector<unsigned char> data;
        for (int k = 0; k < 16; ++k) {
            auto id = static_cast<uint16_t>((block - 1) * 16 + k);
            auto it = entries.find(id);
            std::string text = it == entries.end() ? std::string() : it->second.substr(0, 255);
            data.push_back(static_cast<unsigned char>(text.size()));
            data.insert(data.end(), text.begin(), text.end());
        }
        image.push_back(0xFF);
        PutU16(image, kTypeStringTable);
        image.push_back(0xFF);
        PutU16(image, block);
        PutU16(image, 0);
        PutU32(image, static_cast<uint32_t>(data.size()));
        image.insert(image.end(), data.begin(), data.end());
    }
    return image;
}

int LoadString(char* buffer, size_t size, const unsigned char* begin, const unsigned char* end, uint16_t id) {
    if (size == 0 || begin == nullptr || end <= begin) return 0;
    const unsigned char* p = begin;
    while (end - p >= 12) {
        if (p[0] != 0xFF || p[3] != 0xFF) break;
        uint16_t type = static_cast<uint16_t>(p[1] | p[2] << 8);
        uint16_t block = static_cast<uint16_t>(p[4] | p[5] << 8);
        uint32_t n = GetU32(p + 8);
        const unsigned char* data = p + 12;
        if (static_cast<size_t>(end - data) < n) break;  // a resource cut off: nothing trustworthy follows
        const unsigned char* next = data + n;
        if (type == kTypeStringTable && block >= 1 && id >= (block - 1) * 16u && id < block * 16u) {
            const unsigned char* q = data;
            for (unsigned k = (block - 1) * 16u; q < next; ++k) {
                unsigned len = *q++;
                if (len > static_cast<size_t>(next - q)) break;
                if (k == id) {
                    if (len == 0) break;  // no text here; another block may still carry it
                    size_t copy = len < size ? len : size;
                    std::memcpy(buffer, q, copy);
                    return static_cast<int>(copy);
                }
                q += len;
            }
        }
        p = next;
    }
    return 0;
}

DBString _S_(uint16_t id) {
    const auto& image = g_StringENU ? EnglishTable() : ActiveTable();
    char buffer[256];
    std::memset(buffer, 0, sizeof buffer);
    // One byte stays zero so the copied text is always terminated.
    if (LoadString(buffer, sizeof buffer - 1, image.data(), image.data() + image.size(), id) == 0)
        std::snprintf(buffer, sizeof buffer, g_StringENU ? "ENU%d" : "RUS%d", id);
    return DBString(buffer);
}
