#include "hj212stream.h"

#include "hj212/hj212packet.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

bool isDigits(const std::string &text, size_t at, size_t count)
{
    for (size_t i = at; i < at + count; ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Whether CR LF begins anywhere in [from, to - 1).
bool hasLineEnd(const std::string &text, size_t from, size_t to)
{
    while (from + 1 < to) {
        const void *found = std::memchr(text.data() + from, '\r', to - 1 - from);
        if (!found)
            return false;
        from = size_t(static_cast<const char *>(found) - text.data());
        if (text[from + 1] == '\n')
            return true;
        ++from;
    }
    return false;
}

} // namespace

void Hj212Stream::clear()
{
    buffer.clear();
}

void Hj212Stream::feed(const char *data, size_t size, std::vector<std::string> &segments)
{
    const size_t longest = 6 + Hj212Packet::maxSegment + 6;
    size_t at = 0;
    while (at < size) {
        // Taken in slices no longer than a packet, so that a flood without any packet in it
        // never makes the buffer grow. Bytes before `start` are done with; they are removed
        // once per slice, not one at a time.
        const size_t slice = std::min(size - at, longest);
        buffer.append(data + at, slice);
        at += slice;
        size_t start = 0;
        for (;;) {
            const size_t marker = buffer.find("##", start);
            if (marker == std::string::npos) {
                // A '#' at the end may begin the next packet.
                const size_t keep = buffer.size() > start && buffer.back() == '#' ? 1 : 0;
                skippedBytes += buffer.size() - start - keep;
                start = buffer.size() - keep;
                break;
            }
            skippedBytes += marker - start;
            start = marker;
            const size_t left = buffer.size() - start;
            if (left < 6)
                break;
            if (!isDigits(buffer, start + 2, 4)) {
                ++skippedBytes;
                ++start;
                continue;
            }
            const size_t length = size_t(std::atoi(buffer.substr(start + 2, 4).c_str()));
            const size_t total = 6 + length + 6;
            // A segment holds no CR LF: one before this packet's end shows that the length
            // was not one, and a packet that follows is not held up by it.
            if (length > Hj212Packet::maxSegment ||
                hasLineEnd(buffer, start + 6, std::min(buffer.size(), start + total - 1))) {
                ++skippedBytes;
                ++start;
                continue;
            }
            if (left < total)
                break;
            const char *trailer = buffer.data() + start + 6 + length;
            int check = 0;
            bool hex = true;
            for (int i = 0; i < 4; ++i) {
                const int digit = hexValue(trailer[i]);
                hex = hex && digit >= 0;
                check = check * 16 + (digit < 0 ? 0 : digit);
            }
            if (!hex || trailer[4] != '\r' || trailer[5] != '\n') {
                ++skippedBytes;
                ++start;
                continue;
            }
            if (Hj212Packet::crc(buffer.data() + start + 6, length) != check) {
                ++badCheckCount;
                ++skippedBytes;
                ++start;
                continue;
            }
            segments.push_back(buffer.substr(start + 6, length));
            start += total;
        }
        buffer.erase(0, start);
    }
}
