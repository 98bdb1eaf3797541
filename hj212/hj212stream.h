#ifndef HJ212STREAM_H
#define HJ212STREAM_H

#include <cstddef>
#include <string>
#include <vector>

// Cuts the bytes a platform sends into the data segments of whole, intact packets. What is not
// a packet (no "##", a length that is not four digits up to 1024, a wrong CRC, no CR LF where
// the packet ends) is skipped and counted; the bytes kept between calls never exceed one
// packet, whatever arrives.
class Hj212Stream
{
public:
    // Appends the bytes and moves the segments of the packets now complete to `segments`.
    void feed(const char *data, size_t size, std::vector<std::string> &segments);
    void clear();

    // Bytes skipped so far, and of them the packets refused for their CRC.
    size_t skipped() const { return skippedBytes; }
    size_t badChecks() const { return badCheckCount; }

private:
    std::string buffer;
    size_t skippedBytes = 0;
    size_t badCheckCount = 0;
};

#endif // HJ212STREAM_H
