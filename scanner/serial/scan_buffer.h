#pragma once

#include <cstddef>

// The bytes of one scan, appended chunk by chunk as the port delivers them.
// Never holds more than kCapacity bytes; what arrives beyond that is counted
// but not kept, and the scan is marked as overflowed.
class ScanBuffer {
  public:
    static constexpr size_t kCapacity = 2048;

    void Clear();
    void Append(const char* chunk, size_t len);

    // At least two bytes arrived and the last of them is CR, or CR LF.
    bool Terminated() const;
    bool Overflowed() const { return m_received > kCapacity; }
    // The last byte that arrived is a CR (the first half of a CR LF, perhaps).
    bool EndsInCr() const { return m_received > 0 && m_last == '\r'; }

    char* data() { return m_bytes; }
    size_t size() const { return m_size; }

  private:
    char m_bytes[kCapacity] = {};
    size_t m_size = 0;
    size_t m_received = 0;
    char m_last = 0;      // last byte received
    char m_previous = 0;  // the one before it
};
