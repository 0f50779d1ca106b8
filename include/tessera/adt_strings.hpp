// tessera/adt_strings.hpp - counted strings.
// Part of the C++ face; <tessera.hpp> includes every family.
#pragma once

#include <tessera/adt_strings.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "error.hpp"

namespace tessera {

// ---- string ------------------------------------------------------------------------------------

// A counted string.
class string {
  public:
    string() = default;
    // A copy of text; an empty string when memory runs out (see valid()).
    explicit string(std::string_view text) {
        const std::string copy(text);
        s_.reset(strMake(copy.c_str()));
    }
    bool valid() const noexcept { return static_cast<bool>(s_); }
    std::string_view view() const noexcept { return strGet(s_.get()); }
    const char *c_str() const noexcept { return strGet(s_.get()); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(strLen(s_.get())); }
    std::size_t capacity() const noexcept { return static_cast<std::size_t>(strMaxLen(s_.get())); }
    bool empty() const noexcept { return size() == 0; }
    // Appends; false (the string as it was) when memory runs out.
    bool try_append(const string &more) noexcept {
        const adtStringHeader *tail = more.s_.get(); // read before release: more may be *this
        adtStringHeader *p = s_.release();
        const bool ok = strCat_(&p, const_cast<adtStringHeader *>(tail)) != nullptr || !tail;
        s_.reset(p);
        return ok;
    }
    bool try_push_back(char c) noexcept {
        adtStringHeader *p = s_.release();
        const bool ok = strAddChar_(&p, c) != nullptr;
        s_.reset(p);
        return ok;
    }
#if TESSERA_HPP_THROWS
    string &operator+=(const string &more) {
        if (!try_append(more)) throw std::bad_alloc();
        return *this;
    }
    string &operator+=(char c) {
        if (!try_push_back(c)) throw std::bad_alloc();
        return *this;
    }
#endif
    friend bool operator==(const string &a, const string &b) noexcept { return strCmp(a.s_.get(), b.s_.get()) == 0; }
    adtStringHeader *get() const noexcept { return s_.get(); }
    adtStringHeader *release() noexcept { return s_.release(); }

  private:
    detail::owner<adtStringHeader, strFree> s_;
};

} // namespace tessera
