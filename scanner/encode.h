#pragma once

// Character-set conversion through iconv. Each thread keeps the conversions it
// opened, so calls on different threads share nothing.
class CEncode {
  public:
    // Converts srclen bytes at src from the set `from` into dst, which is zeroed
    // first. 0 on success; -1 when the pair is unknown, the input is invalid or
    // ends inside a character, or the output does not fit into dstlen bytes.
    int iconv_encode(const char* from, const char* to, char* src, unsigned long srclen, char* dst,
                     unsigned long dstlen);

    int g2u(char* src, unsigned long srclen, char* dst, unsigned long dstlen);
    int gb18030toutf(char* src, unsigned long srclen, char* dst, unsigned long dstlen);
    int gb2312togbk(char* src, unsigned long srclen, char* dst, unsigned long dstlen);
    int gbk2u(char* src, unsigned long srclen, char* dst, unsigned long dstlen);
    int u2g(char* src, unsigned long srclen, char* dst, unsigned long dstlen);
};

// Converts srclen bytes at src into dst as the encoding selector says: 1
// GB2312, 2 GB18030 to UTF-8, 3 GB2312 to GBK, 4 an unchanged copy (dst is
// not zeroed then); anything else fails. 0, or -1.
int EncodeScan(int type, char* src, unsigned long srclen, char* dst, unsigned long dstlen);
