#include "scan_buffer.h"

#include <algorithm>
#include <cstring>

void ScanBuffer::Clear() {
    std::memset(m_bytes, 0, sizeof m_bytes);
    m_size = 0;
    m_received = 0;
    m_last = 0;
    m_previous = 0;
}

void ScanBuffer::Append(const char* chunk, size_t len) {
    if (len == 0) {
        return;
    }
    const size_t fits = std::min(len, kCapacity - m_size);
    std::memcpy(m_bytes + m_size, chunk, fits);
    m_size += fits;
    m_received += len;
    m_previous = len > 1 ? chunk[len - 2] : m_last;
    m_last = chunk[len - 1];
}

bool ScanBuffer::Terminated() const {
    if (m_received <= 1) {
        return false;
    }
    const char end = m_last == '\n' ? m_previous : m_last;
    return end == '\r';
}
