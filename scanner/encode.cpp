#include "encode.h"

#include "ttyUSB.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <iconv.h>

namespace {

// What iconv_open returns when it fails.
const iconv_t kNoConversion = reinterpret_cast<iconv_t>(-1);

// Owns one iconv conversion descriptor.
class IconvHandle {
  public:
    IconvHandle(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;
    ~IconvHandle() {
        if (valid()) {
            iconv_close(m_cd);
        }
    }
    bool valid() const { return m_cd != kNoConversion; }
    iconv_t get() const { return m_cd; }

  private:
    iconv_t m_cd;
};

// Opening a conversion costs more than converting a scan (the converter is
// looked up and loaded each time), so each thread keeps the ones it opened.
// A descriptor is not shared between threads, and its shift state is reset
// before every use.
iconv_t CachedConversion(const char* to, const char* from) {
    struct Entry {
        std::string to, from;
        std::unique_ptr<IconvHandle> handle;
    };
    thread_local std::vector<Entry> cache;
    for (Entry& entry : cache) {
        if (entry.to == to && entry.from == from) {
            return entry.handle->get();
        }
    }
    auto handle = std::make_unique<IconvHandle>(to, from);
    if (!handle->valid()) {
        // Not kept: descriptors or memory may be short only for a moment, and
        // the next scan tries again.
        return kNoConversion;
    }
    cache.push_back({to, from, std::move(handle)});
    return cache.back().handle->get();
}

}  // namespace

int CEncode::iconv_encode(const char* from, const char* to, char* src, unsigned long srclen,
                          char* dst, unsigned long dstlen) {
    const iconv_t cd = CachedConversion(to, from);
    std::memset(dst, 0, dstlen);
    if (cd == kNoConversion) {
        return -1;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // the initial shift state
    char* in = src;
    size_t in_left = srclen;
    char* out = dst;
    size_t out_left = dstlen;
    if (iconv(cd, &in, &in_left, &out, &out_left) == static_cast<size_t>(-1)) {
        return -1;
    }
    return 0;
}

int CEncode::g2u(char* src, unsigned long srclen, char* dst, unsigned long dstlen) {
    return iconv_encode("gb2312", "utf-8", src, srclen, dst, dstlen);
}

int CEncode::gb18030toutf(char* src, unsigned long srclen, char* dst, unsigned long dstlen) {
    return iconv_encode("gb18030", "utf-8", src, srclen, dst, dstlen);
}

int CEncode::gb2312togbk(char* src, unsigned long srclen, char* dst, unsigned long dstlen) {
    return iconv_encode("gb2312", "gbk", src, srclen, dst, dstlen);
}

int CEncode::gbk2u(char* src, unsigned long srclen, char* dst, unsigned long dstlen) {
    return iconv_encode("gbk", "utf-8", src, srclen, dst, dstlen);
}

int CEncode::u2g(char* src, unsigned long srclen, char* dst, unsigned long dstlen) {
    return iconv_encode("utf-8", "gb2312", src, srclen, dst, dstlen);
}

int CttyUSB::encode(int type, char* src, unsigned long srclen, char* dst, unsigned long dstlen) {
    return EncodeScan(type, src, srclen, dst, dstlen);
}

int EncodeScan(int type, char* src, unsigned long srclen, char* dst, unsigned long dstlen) {
    CEncode converter;
    switch (type) {
        case 1:
            return converter.g2u(src, srclen, dst, dstlen) < 0 ? -1 : 0;
        case 2:
            return converter.gb18030toutf(src, srclen, dst, dstlen) < 0 ? -1 : 0;
        case 3:
            return converter.gb2312togbk(src, srclen, dst, dstlen) < 0 ? -1 : 0;
        case 4:
            // Like a conversion, a copy that does not fit fails.
            if (srclen > dstlen) {
                return -1;
            }
            std::memcpy(dst, src, srclen);
            return 0;
        default:
            return -1;
    }
}
