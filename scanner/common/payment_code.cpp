#include "payment_code.h"

#include <cctype>

bool FindPaymentCode(const char* scan, size_t size, size_t& first, size_t& digits) {
    size_t begin = 0;
    size_t end = size;
    while (end > begin && (scan[end - 1] == '\r' || scan[end - 1] == '\n')) {
        --end;  // its terminator
    }
    if (end - begin >= 3 && scan[0] == ']' && std::isalpha(static_cast<unsigned char>(scan[1])) &&
        std::isalnum(static_cast<unsigned char>(scan[2]))) {
        begin = 3;  // its AIM identifier
    }
    const size_t length = end - begin;
    if (length < 16 || length > 24) {
        return false;
    }
    for (size_t at = begin; at < end; ++at) {
        if (scan[at] < '0' || scan[at] > '9') {
            return false;
        }
    }
    const int prefix = (scan[begin] - '0') * 10 + (scan[begin + 1] - '0');
    if ((length == 18 && prefix >= 10 && prefix <= 15) || (prefix >= 25 && prefix <= 30)) {
        first = begin;
        digits = length;
        return true;
    }
    return false;
}

bool MayBePaymentCode(const char* scan, size_t size) {
    size_t at = 0;
    if (size > 0 && scan[0] == ']') {
        if ((size > 1 && !std::isalpha(static_cast<unsigned char>(scan[1]))) ||
            (size > 2 && !std::isalnum(static_cast<unsigned char>(scan[2])))) {
            return false;
        }
        at = size < 3 ? size : 3;
    }
    const size_t begin = at;
    while (at < size && scan[at] >= '0' && scan[at] <= '9') {
        ++at;
    }
    if (at < size) {
        // A byte that is no digit: the terminator, which ends the digits,
        // or a byte that no code has.
        size_t first = 0;
        size_t digits = 0;
        return FindPaymentCode(scan, size, first, digits);
    }
    const size_t digits = at - begin;
    if (digits < 2) {
        return digits == 0 || (scan[begin] >= '1' && scan[begin] <= '3');
    }
    const int prefix = (scan[begin] - '0') * 10 + (scan[begin + 1] - '0');
    return (prefix >= 10 && prefix <= 15 && digits <= 18) ||
           (prefix >= 25 && prefix <= 30 && digits <= 24);
}

std::string MaskedPaymentCode(std::string scan) {
    size_t first = 0;
    size_t digits = 0;
    if (FindPaymentCode(scan.data(), scan.size(), first, digits)) {
        for (size_t at = first + 2; at < first + digits - 2; ++at) {
            scan[at] = '*';
        }
    }
    return scan;
}
