#include "key/big_nat.h"

#include <algorithm>
#include <cstring>

#include "base/engine_error.h"
#include "base/little_endian.h"
#include "key/key_encoding.h"

namespace tessarune {

BigNat::BigNat(const BigNat& o) : size_(o.size_) {
    std::copy_n(o.limbs_, size_, limbs_);
}

BigNat& BigNat::operator=(const BigNat& o) {
    size_ = o.size_;
    std::copy_n(o.limbs_, size_, limbs_);
    return *this;
}

BigNat BigNat::from_big_endian(Bytes digits) {
    size_t i = 0;
    while (i < digits.size() && digits[i] == 0) ++i;
    const size_t len = digits.size() - i;
    TR_CHECK(len <= kMaxBits / 8);
    BigNat n;
    n.size_ = static_cast<uint32_t>((len + 7) / 8);
    std::fill_n(n.limbs_, n.size_, uint64_t{0});
    for (size_t k = 0; k < len; ++k) {
        const size_t bit = 8 * (len - 1 - k);
        n.limbs_[bit / 64] |= static_cast<uint64_t>(digits[i + k]) << (bit % 64);
    }
    return n;
}

size_t BigNat::bit_length() const {
    if (size_ == 0) return 0;
    return 64 * size_ - static_cast<size_t>(__builtin_clzll(limbs_[size_ - 1]));
}

int BigNat::compare(const BigNat& o) const {
    if (size_ != o.size_) return size_ < o.size_ ? -1 : 1;
    for (size_t i = size_; i-- > 0;) {
        if (limbs_[i] != o.limbs_[i]) return limbs_[i] < o.limbs_[i] ? -1 : 1;
    }
    return 0;
}

void BigNat::mul_add(uint64_t mul, uint64_t add) {
    UInt128 carry = add;
    for (size_t i = 0; i < size_; ++i) {
        const UInt128 p = static_cast<UInt128>(limbs_[i]) * mul + carry;
        limbs_[i] = static_cast<uint64_t>(p);
        carry = p >> 64;
    }
    if (carry != 0) {
        TR_CHECK(size_ < kMaxLimbs);
        limbs_[size_++] = static_cast<uint64_t>(carry);
    }
    trim();
}

void BigNat::shift_left(size_t bits) {
    if (size_ == 0 || bits == 0) return;
    const size_t limb_shift = bits / 64;
    const unsigned bit_shift = bits % 64;
    const size_t top = size_ + limb_shift + 1;  // room for the bits shifted out of the top
    TR_CHECK(bit_length() + bits <= kMaxBits);
    for (size_t i = std::min(top, kMaxLimbs); i-- > 0;) {
        const size_t src = i - limb_shift;  // wraps for i < limb_shift: those limbs become 0
        uint64_t v = 0;
        if (i >= limb_shift && src < size_) v = limbs_[src] << bit_shift;
        if (bit_shift != 0 && i >= limb_shift + 1 && src - 1 < size_) v |= limbs_[src - 1] >> (64 - bit_shift);
        limbs_[i] = v;
    }
    size_ = static_cast<uint32_t>(std::min(top, kMaxLimbs));
    trim();
}

void BigNat::add(const BigNat& o) {
    const size_t n = std::max(size_, o.size_);
    uint64_t carry = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint64_t a = i < size_ ? limbs_[i] : 0;
        const uint64_t b = i < o.size_ ? o.limbs_[i] : 0;
        const UInt128 s = static_cast<UInt128>(a) + b + carry;
        limbs_[i] = static_cast<uint64_t>(s);
        carry = static_cast<uint64_t>(s >> 64);
    }
    size_ = static_cast<uint32_t>(n);
    if (carry != 0) {
        TR_CHECK(size_ < kMaxLimbs);
        limbs_[size_++] = carry;
    }
}

void BigNat::subtract(const BigNat& o) {
    TR_CHECK(compare(o) >= 0);
    uint64_t borrow = 0;
    for (size_t i = 0; i < size_; ++i) {
        const uint64_t b = i < o.size_ ? o.limbs_[i] : 0;
        const uint64_t t = limbs_[i] - b;
        const uint64_t out_borrow = (limbs_[i] < b) | (t < borrow);
        limbs_[i] = t - borrow;
        borrow = out_borrow;
    }
    trim();
}

// Knuth's algorithm D on 64-bit limbs: the divisor is shifted so that its top bit is set,
// which makes each estimated quotient limb at most two too large.
void BigNat::divide(const BigNat& n, const BigNat& d, BigNat& q, BigNat& r) {
    TR_CHECK(!d.is_zero());
    if (n.compare(d) < 0) {
        q = BigNat();
        r = n;
        return;
    }
    const size_t dn = d.size_;
    const size_t nn = n.size_;
    if (dn == 1) {
        const uint64_t div = d.limbs_[0];
        UInt128 rem = 0;
        q.size_ = static_cast<uint32_t>(nn);
        for (size_t i = nn; i-- > 0;) {
            const UInt128 cur = (rem << 64) | n.limbs_[i];
            q.limbs_[i] = static_cast<uint64_t>(cur / div);
            rem = cur % div;
        }
        q.trim();
        r = BigNat(static_cast<uint64_t>(rem));
        return;
    }

    const unsigned s = static_cast<unsigned>(__builtin_clzll(d.limbs_[dn - 1]));
    auto high_bits = [s](uint64_t lower) { return s == 0 ? uint64_t{0} : lower >> (64 - s); };
    uint64_t vn[kMaxLimbs];
    uint64_t un[kMaxLimbs + 1];
    for (size_t i = dn - 1; i > 0; --i) vn[i] = (d.limbs_[i] << s) | high_bits(d.limbs_[i - 1]);
    vn[0] = d.limbs_[0] << s;
    un[nn] = high_bits(n.limbs_[nn - 1]);
    for (size_t i = nn - 1; i > 0; --i) un[i] = (n.limbs_[i] << s) | high_bits(n.limbs_[i - 1]);
    un[0] = n.limbs_[0] << s;

    q.size_ = static_cast<uint32_t>(nn - dn + 1);
    for (size_t j = nn - dn + 1; j-- > 0;) {
        const UInt128 top = (static_cast<UInt128>(un[j + dn]) << 64) | un[j + dn - 1];
        UInt128 qhat = top / vn[dn - 1];
        UInt128 rhat = top % vn[dn - 1];
        while ((qhat >> 64) != 0 || qhat * vn[dn - 2] > ((rhat << 64) | un[j + dn - 2])) {
            --qhat;
            rhat += vn[dn - 1];
            if ((rhat >> 64) != 0) break;
        }
        uint64_t borrow = 0;
        uint64_t carry = 0;
        for (size_t i = 0; i < dn; ++i) {
            const UInt128 p = qhat * vn[i] + carry;
            carry = static_cast<uint64_t>(p >> 64);
            const auto low = static_cast<uint64_t>(p);
            const uint64_t t = un[i + j] - low;
            const uint64_t out_borrow = (un[i + j] < low) | (t < borrow);
            un[i + j] = t - borrow;
            borrow = out_borrow;
        }
        const uint64_t t = un[j + dn] - carry;
        const bool negative = (un[j + dn] < carry) | (t < borrow);
        un[j + dn] = t - borrow;
        if (negative) {
            --qhat;
            uint64_t add_carry = 0;
            for (size_t i = 0; i < dn; ++i) {
                const UInt128 sum = static_cast<UInt128>(un[i + j]) + vn[i] + add_carry;
                un[i + j] = static_cast<uint64_t>(sum);
                add_carry = static_cast<uint64_t>(sum >> 64);
            }
            un[j + dn] += add_carry;
        }
        q.limbs_[j] = static_cast<uint64_t>(qhat);
    }
    q.trim();

    r.size_ = static_cast<uint32_t>(dn);
    for (size_t i = 0; i < dn; ++i) {
        r.limbs_[i] = (un[i] >> s) | (s == 0 ? uint64_t{0} : un[i + 1] << (64 - s));
    }
    r.trim();
}

size_t BigNat::store_big_endian(uint8_t* out) const {
    if (size_ == 0) return 0;
    uint8_t word[8];
    store_be64(word, limbs_[size_ - 1]);
    const size_t skip = static_cast<size_t>(__builtin_clzll(limbs_[size_ - 1])) / 8;
    std::memcpy(out, word + skip, 8 - skip);
    uint8_t* p = out + (8 - skip);
    for (size_t i = size_ - 1; i-- > 0; p += 8) store_be64(p, limbs_[i]);
    return static_cast<size_t>(p - out);
}

void BigNat::append_big_endian(ByteBuffer& out) const {
    const size_t at = out.size();
    out.reserve(at + 8 * size_);
    out.set_size(at + store_big_endian(out.data() + at));
}

void BigNat::trim() {
    while (size_ > 0 && limbs_[size_ - 1] == 0) --size_;
}

}  // namespace tessarune
