#pragma once

#include <cstddef>
#include <string>

// A customer's mobile-payment code: 18 digits beginning 10 to 15, or 16 to
// 24 digits beginning 25 to 30. Valid for about a minute and spendable by
// whoever submits it first, it is kept out of every log.

// Whether a scan as read (its AIM identifier first and its terminator last,
// where it has them) is a payment code; where it is, the first byte of the
// digits and how many.
bool FindPaymentCode(const char* scan, size_t size, size_t& first, size_t& digits);

// Whether a scan of which these are the first bytes may still turn out to be
// a payment code: they are an AIM identifier (or its start) and digits that a
// code may begin with, or a whole payment code and its terminator.
bool MayBePaymentCode(const char* scan, size_t size);

// The scan as a log may show it: a payment code's digits but the first two
// and the last two as '*'; any other scan as it is.
std::string MaskedPaymentCode(std::string scan);
