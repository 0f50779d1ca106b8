// tessera.hpp - the C++20 face of tessera, header-only, over the exported C functions.
//
// - Owning types are move-only values that give their C record back when they go: string,
//   list<T, OnRemove>, priority_queue<T, Compare>, generator, histogram, drawing, image<T> and
//   any_image. A moved-from object is empty.
// - Typed images: image<T> for each fixed element type (uint8_t gray, int8_t binary, int16_t,
//   int32_t, float, double, RGB, float3a, float3b), indexed in the image's own coordinates
//   (img(x, y) honours the offsets); image_view<T> is a non-owning, const-correct view.
// - Errors: every precondition the C layer would stop the process for is checked first and
//   thrown as std::invalid_argument or std::out_of_range; a failure the C layer reports (null,
//   -1) throws tessera::error with the reason of tessera_last_error(); exhausted memory throws
//   std::bad_alloc. The try_ forms (try_load, try_save, try_render...) return std::optional or
//   bool instead and never throw; they are all that is declared when exceptions are off.
// - Threads: as the C library (see tessera.h): distinct objects may be used on distinct threads.
#pragma once

#include <tessera.h>

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

#if defined(__cpp_exceptions)
#include <stdexcept>
#define TESSERA_HPP_THROWS 1
#else
#define TESSERA_HPP_THROWS 0
#endif

namespace tessera {

// ---- errors ------------------------------------------------------------------------------------

#if TESSERA_HPP_THROWS
// A failure the library reported, with its reason.
class error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
#endif

namespace detail {

#if TESSERA_HPP_THROWS
// Throws what the C layer's last failure on this thread calls for.
[[noreturn]] inline void raise(const char *doing) {
    const char *why = tessera_last_error();
    if (tessera_reason_is_memory(why)) throw std::bad_alloc();
    throw error(std::string(doing) + ": " + why);
}
inline void require(bool ok, const char *what) {
    if (!ok) throw std::invalid_argument(what);
}
inline void require_inside(bool ok, const char *what) {
    if (!ok) throw std::out_of_range(what);
}
#endif

// Owns one C record through its release call.
template <class T, void (*Release)(T *)> class owner {
  public:
    owner() = default;
    explicit owner(T *p) noexcept : p_(p) {}
    owner(owner &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    owner &operator=(owner &&o) noexcept {
        if (this != &o) reset(std::exchange(o.p_, nullptr));
        return *this;
    }
    ~owner() { reset(); }
    T *get() const noexcept { return p_; }
    T *operator->() const noexcept { return p_; }
    T *release() noexcept { return std::exchange(p_, nullptr); }
    void reset(T *p = nullptr) noexcept {
        if (p_) Release(p_);
        p_ = p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    T *p_ = nullptr;
};

// The header of an empty view: no pixels anywhere.
inline constexpr ImageHeader no_pixels{};

} // namespace detail

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

// ---- list --------------------------------------------------------------------------------------

// A doubly linked list of T * (not owned), whose nodes are the library's. OnRemove, when given,
// is a default-constructible callable run with each element as its node is removed or the list
// destroyed (std::default_delete<T> makes the list own its elements).
template <class T, class OnRemove = void> class list {
  public:
    list() : l_(liNew()) {
#if TESSERA_HPP_THROWS
        if (!l_) throw std::bad_alloc();
#endif
        if constexpr (!std::is_void_v<OnRemove>)
            if (l_) liSetRemHook(l_, [](void *data) { OnRemove{}(static_cast<T *>(data)); });
    }
    list(list &&o) noexcept : l_(std::exchange(o.l_, NULLLIST)) {}
    list &operator=(list &&o) noexcept {
        if (this != &o) {
            if (l_) liFree(l_);
            l_ = std::exchange(o.l_, NULLLIST);
        }
        return *this;
    }
    ~list() {
        if (l_) liFree(l_);
    }

    class iterator {
      public:
        using value_type = T *;
        using difference_type = std::ptrdiff_t;
        iterator() = default;
        explicit iterator(_ListNode *n) : n_(n) {}
        T *operator*() const { return static_cast<T *>(liGet(n_)); }
        iterator &operator++() {
            n_ = liNext(n_);
            return *this;
        }
        iterator operator++(int) {
            iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const iterator &) const = default;
        _ListNode *node() const { return n_; }

      private:
        _ListNode *n_ = nullptr;
    };

    iterator begin() const { return iterator(l_ ? liFirst(l_) : nullptr); }
    iterator end() const { return iterator(); }
    std::size_t size() const { return l_ ? static_cast<std::size_t>(liLen(l_)) : 0; }
    bool empty() const { return size() == 0; }

    // Appends; false (element not added, still the caller's) when memory runs out.
    bool try_push_back(T *element) noexcept { return l_ && liAdd(l_, element) != NULLLISTNODE; }
#if TESSERA_HPP_THROWS
    void push_back(T *element) {
        if (!try_push_back(element)) throw std::bad_alloc();
    }
    // Removes the element at it (running OnRemove); the iterator after it.
    iterator erase(iterator it) {
        detail::require(it.node() && it.node()->owner == l_, "tessera::list::erase: the iterator is not of this list");
        return iterator(liRemAndNext(it.node()));
    }
#endif

  private:
    List l_;
};

// ---- priority queue ----------------------------------------------------------------------------

// A priority queue of values of T; top() is the least element under Compare (a default-
// constructible strict weak order; with std::less, the smallest). push() gives a handle that
// stays valid while its element moves in the queue and can erase it.
template <class T, class Compare = std::less<T>> class priority_queue {
    static_assert(std::is_empty_v<Compare> && std::is_default_constructible_v<Compare>,
                  "the library calls a plain function: Compare must be a stateless function object");

  public:
    class handle {
      public:
        handle() = default;
        const T &value() const { return *static_cast<const T *>(pqGet(n_)); }

      private:
        friend class priority_queue;
        explicit handle(_PriQNode *n) : n_(n) {}
        _PriQNode *n_ = nullptr;
    };

    priority_queue() : q_(pqNew(&greater)) {
#if TESSERA_HPP_THROWS
        if (!q_) throw std::bad_alloc();
#endif
    }
    priority_queue(priority_queue &&o) noexcept : q_(std::exchange(o.q_, NULLPRIQ)) {}
    priority_queue &operator=(priority_queue &&o) noexcept {
        if (this != &o) {
            clear_and_free();
            q_ = std::exchange(o.q_, NULLPRIQ);
        }
        return *this;
    }
    ~priority_queue() { clear_and_free(); }

    std::size_t size() const { return q_ ? static_cast<std::size_t>(pqLen(q_)) : 0; }
    bool empty() const { return size() == 0; }

    // Adds a copy of value; nothing when memory runs out.
    std::optional<handle> try_push(T value) {
        T *held = new (std::nothrow) T(std::move(value));
        if (!held) return std::nullopt;
        _PriQNode *n = q_ ? pqAdd(q_, held) : NULLPRIQNODE;
        if (!n) {
            delete held;
            return std::nullopt;
        }
        return handle(n);
    }
#if TESSERA_HPP_THROWS
    handle push(T value) {
        std::optional<handle> h = try_push(std::move(value));
        if (!h) throw std::bad_alloc();
        return *h;
    }
    const T &top() const {
        detail::require_inside(!empty(), "tessera::priority_queue::top: the queue is empty");
        return *static_cast<const T *>(pqGet(pqFirst(q_)));
    }
    void pop() {
        detail::require_inside(!empty(), "tessera::priority_queue::pop: the queue is empty");
        erase_node(pqFirst(q_));
    }
    // Removes the element of h, wherever it is now; h is spent.
    void erase(handle &h) {
        detail::require(h.n_ && h.n_->queue == q_, "tessera::priority_queue::erase: a handle of another queue");
        erase_node(std::exchange(h.n_, nullptr));
    }
#endif

  private:
    static bool greater(void *a, void *b) { return Compare{}(*static_cast<T *>(b), *static_cast<T *>(a)); }
    void erase_node(_PriQNode *n) {
        T *held = static_cast<T *>(pqGet(n));
        pqRem(n);
        delete held;
    }
    void clear_and_free() {
        if (!q_) return;
        while (pqLen(q_)) erase_node(pqFirst(q_));
        pqFree(q_);
        q_ = NULLPRIQ;
    }
    PriQ q_;
};

// ---- generator and histogram -------------------------------------------------------------------

// A seedable generator of one of the library's four kinds. next() draws the kind's value (an
// integer as a double for uniform_int). It is also a std::uniform_random_bit_generator: call
// operator() for raw values in [min(), max()] (from a uniform stream of its own, seeded alike),
// to use it with <random> distributions and std::shuffle. A seed of 0 or less takes one from
// the clock-seeded source.
class generator {
  public:
    using result_type = uint32_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return 2147483561u; }

#if TESSERA_HPP_THROWS
    static generator uniform_int(int32_t low, int32_t high, int32_t seed = 0) {
        detail::require(low <= high, "tessera::generator::uniform_int: low above high");
        GenUniformIntParams p{low, high};
        return generator(GEN_UNIFORM_INT, seed, &p);
    }
    static generator uniform_real(double low, double high, int32_t seed = 0) {
        GenUniformFloatParams p{low, high};
        return generator(GEN_UNIFORM_FLOAT, seed, &p);
    }
    static generator normal(double mean, double deviation, int32_t seed = 0) {
        GenGaussianParams p{mean, deviation};
        return generator(GEN_GAUSSIAN, seed, &p);
    }
    static generator exponential(double rate, int32_t seed = 0) {
        detail::require(rate > 0, "tessera::generator::exponential: the rate must be above 0");
        GenExponentialParams p{rate};
        return generator(GEN_EXPONENTIAL, seed, &p);
    }
    result_type operator()() {
        detail::require(g_ != nullptr, "tessera::generator: a moved-from generator");
        if (!bits_) {
            GenUniformIntParams p{0, static_cast<int32_t>(max())};
            bits_ = genNew_(GEN_UNIFORM_INT, seed_, &p);
            if (!bits_) throw std::bad_alloc();
        }
        auto *g = static_cast<_int_generator_struct_ *>(bits_);
        return static_cast<result_type>(g->generate(g));
    }
#endif
    generator(generator &&o) noexcept
        : g_(std::exchange(o.g_, nullptr)), bits_(std::exchange(o.bits_, nullptr)), kind_(o.kind_), seed_(o.seed_) {}
    generator &operator=(generator &&o) noexcept {
        if (this != &o) {
            drop();
            g_ = std::exchange(o.g_, nullptr);
            bits_ = std::exchange(o.bits_, nullptr);
            kind_ = o.kind_;
            seed_ = o.seed_;
        }
        return *this;
    }
    ~generator() { drop(); }

    // The next value of the generator's kind (a moved-from generator throws
    // std::invalid_argument, or gives NaN without exceptions).
    double next() {
        if (!g_) {
            empty("tessera::generator::next: a moved-from generator");
            return std::numeric_limits<double>::quiet_NaN();
        }
        if (kind_ == GEN_UNIFORM_INT) {
            auto *g = static_cast<_int_generator_struct_ *>(g_);
            return g->generate(g);
        }
        auto *g = static_cast<_float_generator_struct_ *>(g_);
        return g->generate(g);
    }
    // Starts the sequence again from seed.
    void reseed(int32_t seed) {
        if (!g_) return empty("tessera::generator::reseed: a moved-from generator");
        genReset_(kind_, g_, seed);
        seed_ = seed;
        if (bits_) genReset_(GEN_UNIFORM_INT, bits_, seed);
    }
    int32_t kind() const noexcept { return kind_; }
    bool valid() const noexcept { return g_ != nullptr; }

  private:
    static void empty([[maybe_unused]] const char *what) {
#if TESSERA_HPP_THROWS
        throw std::invalid_argument(what);
#endif
    }
#if TESSERA_HPP_THROWS
    generator(int32_t kind, int32_t seed, void *params) : g_(genNew_(kind, seed, params)), kind_(kind), seed_(seed) {
        if (!g_) throw std::bad_alloc();
    }
#endif
    void drop() {
        if (g_) genFree_(kind_, g_);
        if (bits_) genFree_(GEN_UNIFORM_INT, bits_);
        g_ = bits_ = nullptr;
    }
    void *g_ = nullptr;
    void *bits_ = nullptr;
    int32_t kind_ = 0;
    int32_t seed_ = 0;
};

// A weighted histogram of equal bins over [low, high).
class histogram {
  public:
#if TESSERA_HPP_THROWS
    histogram(uint32_t bins, double low, double high) {
        detail::require(low <= high, "tessera::histogram: low above high");
        h_.reset(hiNew(bins, low, high));
        if (!h_) throw std::bad_alloc();
    }
#endif
    // Adds x with a weight; a moved-from histogram throws std::invalid_argument (without
    // exceptions, nothing is added).
    void add(double x, double weight = 1.0) {
        if (!h_) {
#if TESSERA_HPP_THROWS
            throw std::invalid_argument("tessera::histogram::add: a moved-from histogram");
#else
            return;
#endif
        }
        hiAdd(h_.get(), x, weight);
    }
    // The bins (none for a moved-from histogram).
    std::span<const double> bins() const {
        if (!h_) return {};
        return {h_->bins, static_cast<std::size_t>(h_->nbins)};
    }
    Hist get() const noexcept { return h_.get(); }

  private:
    detail::owner<HistStruct, hiFree> h_;
};

// ---- images ------------------------------------------------------------------------------------

// The two three-float element types, told apart by their tags and files ("Q10", "Q11").
struct float3a {
    float a, b, c;
};
struct float3b {
    float a, b, c;
};

template <class T> inline constexpr uint16_t tag_of = 0;
template <> inline constexpr uint16_t tag_of<uint8_t> = IMAGE_GRAY;
template <> inline constexpr uint16_t tag_of<int8_t> = IMAGE_BINARY;
template <> inline constexpr uint16_t tag_of<int16_t> = IMAGE_SHORT;
template <> inline constexpr uint16_t tag_of<int32_t> = IMAGE_INT;
template <> inline constexpr uint16_t tag_of<float> = IMAGE_FLOAT;
template <> inline constexpr uint16_t tag_of<double> = IMAGE_DOUBLE;
template <> inline constexpr uint16_t tag_of<RGB> = IMAGE_RGB;
template <> inline constexpr uint16_t tag_of<float3a> = IMAGE_FLOAT3A;
template <> inline constexpr uint16_t tag_of<float3b> = IMAGE_FLOAT3B;

// An element type with a tag: a pixel of image<T>.
template <class T>
concept pixel = tag_of<std::remove_const_t<T>>
!= 0;

// A rectangle in an image's coordinates.
struct rect {
    int32_t x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const rect &, const rect &) = default;
};

// A non-owning typed view of an image (const T for a read-only one).
template <class T>
requires pixel<T>
class image_view {
  public:
    using value_type = std::remove_const_t<T>;
    image_view() = default;
    image_view(T *const *rows, const ImageHeader *h) : rows_(rows), h_(h ? h : &detail::no_pixels) {}
    template <class U>
    requires std::is_same_v<const U, T> image_view(const image_view<U> &other)
        : rows_(other.data()), h_(other.header()) {}

    int32_t width() const { return h_->width; }
    int32_t height() const { return h_->height; }
    int32_t xoffset() const { return h_->xoffset; }
    int32_t yoffset() const { return h_->yoffset; }
    rect bounds() const { return {h_->xoffset, h_->yoffset, h_->width, h_->height}; }
    bool contains(int32_t x, int32_t y) const {
        return x >= h_->xoffset && y >= h_->yoffset && int64_t{x} < int64_t{h_->xoffset} + h_->width &&
               int64_t{y} < int64_t{h_->yoffset} + h_->height;
    }
    // Pixel (x, y) in the image's own coordinates; unchecked.
    T &operator()(int32_t x, int32_t y) const { return rows_[y][x]; }
#if TESSERA_HPP_THROWS
    T &at(int32_t x, int32_t y) const {
        detail::require_inside(contains(x, y), "tessera::image: pixel outside the image");
        return rows_[y][x];
    }
#endif
    // Row y, from its first column; a row outside the image throws std::out_of_range (without
    // exceptions, it is empty).
    std::span<T> row(int32_t y) const {
        if (!contains(h_->xoffset, y)) {
#if TESSERA_HPP_THROWS
            detail::require_inside(false, "tessera::image: row outside the image");
#endif
            return {};
        }
        return {rows_[y] + h_->xoffset, static_cast<std::size_t>(h_->width)};
    }
    // The rows, top to bottom (the range holds a copy of the view).
    class row_range {
      public:
        explicit row_range(image_view v) : v_(v) {}
        class iterator {
          public:
            using value_type = std::span<T>;
            using difference_type = std::ptrdiff_t;
            iterator() = default;
            iterator(image_view v, int32_t y) : v_(v), y_(y) {}
            std::span<T> operator*() const { return v_.row(y_); }
            iterator &operator++() {
                ++y_;
                return *this;
            }
            iterator operator++(int) {
                iterator before = *this;
                ++y_;
                return before;
            }
            bool operator==(const iterator &o) const { return y_ == o.y_; }

          private:
            image_view v_;
            int32_t y_ = 0;
        };
        iterator begin() const { return {v_, v_.yoffset()}; }
        iterator end() const { return {v_, v_.yoffset() + v_.height()}; }

      private:
        image_view v_;
    };
    row_range rows() const { return row_range(*this); }
    T *const *data() const { return rows_; }
    const ImageHeader *header() const { return h_; }

  private:
    T *const *rows_ = nullptr;
    const ImageHeader *h_ = &detail::no_pixels; // an empty view has no pixels, never a null header
};

namespace detail {
inline void free_any(AnyImageStruct *im) { im_Free_(im, im->header->tag); }
using image_owner = owner<AnyImageStruct, free_any>;
inline AnyImageStruct *mutable_handle(const AnyImageStruct *im) { return const_cast<AnyImageStruct *>(im); }
} // namespace detail

// An image of element type T that owns its pixels (or wraps caller memory).
template <class T>
requires pixel<T>
class image {
  public:
    image() = default;
#if TESSERA_HPP_THROWS
    // A zero-filled image of width x height whose first pixel is (xoffset, yoffset).
    image(int32_t width, int32_t height, int32_t xoffset = 0, int32_t yoffset = 0) {
        detail::require(width > 0 && height > 0, "tessera::image: width and height must be above 0");
        im_.reset(static_cast<AnyImageStruct *>(
            im_NewOrWrap_(tag_of<T>, width, height, xoffset, yoffset, nullptr, 0, 0, nullptr)));
        if (!im_) detail::raise("tessera::image");
    }
    // An image over caller memory of width * height elements, row after row; the memory must
    // outlive the image, which never frees it.
    static image wrap(std::span<T> pixels, int32_t width, int32_t height, int32_t xoffset = 0, int32_t yoffset = 0) {
        detail::require(width > 0 && height > 0, "tessera::image::wrap: width and height must be above 0");
        detail::require(pixels.size() >= static_cast<std::size_t>(width) * static_cast<std::size_t>(height),
                        "tessera::image::wrap: fewer elements than width * height");
        image out;
        out.im_.reset(static_cast<AnyImageStruct *>(
            im_NewOrWrap_(tag_of<T>, width, height, xoffset, yoffset, pixels.data(), 0, 0, nullptr)));
        if (!out.im_) detail::raise("tessera::image::wrap");
        return out;
    }
    static image load(const std::filesystem::path &path) {
        if (std::optional<image> im = try_load(path)) return std::move(*im);
        detail::raise(("tessera::image::load: " + path.string()).c_str());
    }
    // Reads from where the stream stands (which must be a seekable file).
    static image load(std::FILE *stream) {
        detail::require(stream != nullptr, "tessera::image::load: no stream");
        if (std::optional<image> im = try_load(stream)) return std::move(*im);
        detail::raise("tessera::image::load");
    }
    void save(const std::filesystem::path &path) const {
        detail::require(valid(), "tessera::image::save: an empty image");
        if (!try_save(path)) detail::raise(("tessera::image::save: " + path.string()).c_str());
    }
    void save(std::FILE *stream) const {
        detail::require(stream != nullptr, "tessera::image::save: no stream");
        if (!try_save(stream)) detail::raise("tessera::image::save");
    }
    image dup() const {
        detail::require(valid(), "tessera::image::dup: an empty image");
        image out(adopt(im_Dup_(handle(), header())));
        if (!out.im_) detail::raise("tessera::image::dup");
        return out;
    }
    // A new image of the rectangle r of this one, in this image's coordinates.
    image crop(const rect &r) const {
        require_inside(r, "tessera::image::crop");
        image out(adopt(im_Crop_(handle(), header(), r.x, r.y, r.width, r.height)));
        if (!out.im_) detail::raise("tessera::image::crop");
        return out;
    }
    // Copies the rectangle r of this image into into, with r's corner at (to_x, to_y).
    void crop_into(image &into, const rect &r, int32_t to_x, int32_t to_y) const {
        require_inside(r, "tessera::image::crop_into");
        detail::require(into.valid(), "tessera::image::crop_into: no image to copy into");
        detail::require_inside(holds(into.view(), to_x, to_y, r.width, r.height),
                               "tessera::image::crop_into: the rectangle does not fit the target");
        if (!im_Crop_Into_(handle(), header(), into.handle(), r.x, r.y, to_x, to_y, r.width, r.height))
            detail::raise("tessera::image::crop_into");
    }
    // A new image with n zero pixels around this one (offsets 0).
    image border(int32_t n) const {
        detail::require(valid(), "tessera::image::border: an empty image");
        detail::require(n >= 0, "tessera::image::border: a negative border");
        image out(adopt(imBorders(detail::mutable_handle(im_.get()), n)));
        if (!out.im_) detail::raise("tessera::image::border");
        return out;
    }
    // A new width x height image sampled by nearest neighbour (offsets 0).
    image scale(int32_t width, int32_t height) const {
        detail::require(valid(), "tessera::image::scale: an empty image");
        detail::require(width > 0 && height > 0, "tessera::image::scale: width and height must be above 0");
        image out(adopt(imScale(detail::mutable_handle(im_.get()), width, height)));
        if (!out.im_) detail::raise("tessera::image::scale");
        return out;
    }
    void fill(const T &value) {
        detail::require(valid(), "tessera::image::fill: an empty image");
        im_Init_(handle(), header(), const_cast<T *>(&value));
    }
    // The largest and the smallest pixel (channel by channel for RGB).
    std::pair<T, T> extrema() const {
        detail::require(valid(), "tessera::image::extrema: an empty image");
        T mx{}, mn{};
        im_MaxAndMin_(handle(), header(), &mx, &mn);
        return {mx, mn};
    }
#endif
    // The non-throwing forms: nothing (or false) on failure, the reason in tessera_last_error().
    static std::optional<image> try_load(const std::filesystem::path &path) noexcept {
        image out(adopt(im_Load(tag_of<T>, path.c_str())));
        if (!out.im_) return std::nullopt;
        return out;
    }
    static std::optional<image> try_load(std::FILE *stream) noexcept {
        if (!stream || std::fseek(stream, std::ftell(stream), SEEK_SET) != 0) return std::nullopt;
        image out(adopt(im_LoadH(tag_of<T>, fileno(stream))));
        if (!out.im_) return std::nullopt;
        return out;
    }
    bool try_save(const std::filesystem::path &path) const noexcept {
        return valid() && im_Save_(handle(), header(), path.c_str()) == 0;
    }
    bool try_save(std::FILE *stream) const noexcept {
        return valid() && stream && std::fflush(stream) == 0 && im_SaveH_(handle(), header(), fileno(stream)) == 0;
    }

    bool valid() const noexcept { return static_cast<bool>(im_); }
    // A view of the pixels (an empty view of an empty image).
    image_view<T> view() { return valid() ? image_view<T>(typed_rows(), header()) : image_view<T>(); }
    image_view<const T> view() const {
        return valid() ? image_view<const T>(typed_rows(), header()) : image_view<const T>();
    }
    // Size and place; 0 and an empty rectangle for an empty image.
    int32_t width() const { return valid() ? header()->width : 0; }
    int32_t height() const { return valid() ? header()->height : 0; }
    rect bounds() const { return valid() ? view().bounds() : rect{}; }
    T &operator()(int32_t x, int32_t y) { return typed_rows()[y][x]; }
    const T &operator()(int32_t x, int32_t y) const { return typed_rows()[y][x]; }
#if TESSERA_HPP_THROWS
    T &at(int32_t x, int32_t y) { return view().at(x, y); }
    const T &at(int32_t x, int32_t y) const { return view().at(x, y); }
#endif
    std::span<T> row(int32_t y) { return view().row(y); }
    std::span<const T> row(int32_t y) const { return view().row(y); }
    auto rows() { return view().rows(); }
    // The comment of the file the image came from ("" when none).
    std::string_view comment() const { return valid() ? strGet(header()->comment) : ""; }
    AnyImageStruct *get() const noexcept { return im_.get(); }
    AnyImageStruct *release() noexcept { return im_.release(); }
    // Takes over a C image of T's tag (null gives an empty image).
    static image adopt(void *c_image) noexcept {
        image out;
        out.im_.reset(static_cast<AnyImageStruct *>(c_image));
        return out;
    }

  private:
    T **typed_rows() const { return reinterpret_cast<T **>(im_.get()->data); }
    AnyImageStruct *handle() const { return detail::mutable_handle(im_.get()); }
    ImageHeader *header() const { return im_.get()->header; }
#if TESSERA_HPP_THROWS
    void require_inside(const rect &r, const char *what) const {
        detail::require(valid(), "tessera::image: an empty image");
        detail::require(r.width > 0 && r.height > 0, "tessera::image: a rectangle without pixels");
        detail::require_inside(holds(view(), r.x, r.y, r.width, r.height), what);
    }
    // Whether the width x height rectangle at (x, y) lies inside v (in 64 bits: no overflow).
    template <class V> static bool holds(const V &v, int32_t x, int32_t y, int32_t width, int32_t height) {
        const int64_t right = int64_t{x} + width - 1, bottom = int64_t{y} + height - 1;
        return v.contains(x, y) && right <= INT32_MAX && bottom <= INT32_MAX &&
               v.contains(static_cast<int32_t>(right), static_cast<int32_t>(bottom));
    }
#endif
    detail::image_owner im_;
};

// An image whose element type is known only at run time.
class any_image {
  public:
    any_image() = default;
    template <class T> any_image(image<T> &&im) noexcept : im_(im.release()) {}
    // Loads a file of any element type a file can hold.
    static std::optional<any_image> try_load(const std::filesystem::path &path) noexcept {
        any_image out;
        out.im_.reset(static_cast<AnyImageStruct *>(im_Load(0xffff, path.c_str())));
        if (!out.im_) return std::nullopt;
        return out;
    }
#if TESSERA_HPP_THROWS
    static any_image load(const std::filesystem::path &path) {
        if (std::optional<any_image> im = try_load(path)) return std::move(*im);
        detail::raise(("tessera::any_image::load: " + path.string()).c_str());
    }
    // Moves the image into an image<T>; throws std::invalid_argument when its tag is another.
    template <class T> image<T> as() && {
        detail::require(valid() && tag() == tag_of<T>, "tessera::any_image::as: another element type");
        return image<T>::adopt(im_.release());
    }
#endif
    bool valid() const noexcept { return static_cast<bool>(im_); }
    // The element type's tag; 0 for an empty image.
    uint16_t tag() const { return im_ ? im_.get()->header->tag : 0; }
    // Calls f with an image_view<T> of the image's element type; the result is f's. An empty
    // image throws std::invalid_argument (without exceptions, f gets an empty gray view).
    template <class F> decltype(auto) visit(F &&f) {
        AnyImageStruct *im = im_.get();
        if (!im) {
#if TESSERA_HPP_THROWS
            throw std::invalid_argument("tessera::any_image::visit: an empty image");
#else
            return f(image_view<uint8_t>());
#endif
        }
        const auto v = [&]<class T>(T *) { return image_view<T>(reinterpret_cast<T **>(im->data), im->header); };
        switch (tag()) {
        case IMAGE_GRAY: return f(v(static_cast<uint8_t *>(nullptr)));
        case IMAGE_BINARY: return f(v(static_cast<int8_t *>(nullptr)));
        case IMAGE_SHORT: return f(v(static_cast<int16_t *>(nullptr)));
        case IMAGE_INT: return f(v(static_cast<int32_t *>(nullptr)));
        case IMAGE_FLOAT: return f(v(static_cast<float *>(nullptr)));
        case IMAGE_DOUBLE: return f(v(static_cast<double *>(nullptr)));
        case IMAGE_RGB: return f(v(static_cast<RGB *>(nullptr)));
        case IMAGE_FLOAT3A: return f(v(static_cast<float3a *>(nullptr)));
        default: return f(v(static_cast<float3b *>(nullptr)));
        }
    }
    AnyImageStruct *get() const noexcept { return im_.get(); }

  private:
    detail::image_owner im_;
};

// ---- drawings ----------------------------------------------------------------------------------

// The bounds of a drawing, in its own units.
struct rect_f {
    float x, y, width, height;
};

// One element of a drawing, as the library keeps it.
struct element {
    unsigned char type; // PTL_POINT, PTL_LINE, PTL_ELLIPSE or PTL_FILL
    RGB color;
    float size, x1, y1, x2, y2;
};

// A point list: a drawing of dots, lines, ellipse outlines and fills within bounds.
class drawing {
  public:
#if TESSERA_HPP_THROWS
    // An empty drawing; colored says whether its file keeps the elements' colours (CPTL).
    drawing(float x, float y, float width, float height, bool colored = true) {
        detail::require(width > 0 && height > 0, "tessera::drawing: width and height must be above 0");
        p_.reset(ptlNew(colored, x, y, width, height, nullptr));
        if (!p_) detail::raise("tessera::drawing");
    }
    static drawing load(const std::filesystem::path &path) {
        if (std::optional<drawing> d = try_load(path)) return std::move(*d);
        detail::raise(("tessera::drawing::load: " + path.string()).c_str());
    }
    void save(const std::filesystem::path &path) const {
        detail::require(valid(), "tessera::drawing::save: a moved-from drawing");
        if (!try_save(path)) detail::raise(("tessera::drawing::save: " + path.string()).c_str());
    }
    drawing &point(float x, float y, float size = 0, RGB color = {255, 255, 255}) {
        return add(PTL_POINT, color, size, x, y, 0, 0);
    }
    drawing &line(float x1, float y1, float x2, float y2, float size = 0, RGB color = {255, 255, 255}) {
        return add(PTL_LINE, color, size, x1, y1, x2, y2);
    }
    drawing &ellipse(float cx, float cy, float rx, float ry, float size = 0, RGB color = {255, 255, 255}) {
        return add(PTL_ELLIPSE, color, size, cx, cy, rx, ry);
    }
    drawing &fill(float x, float y) { return add(PTL_FILL, RGB{255, 255, 255}, 0, x, y, 0, 0); }
    image<RGB> render_rgb(float scale_x, float scale_y, RGB background = {0, 0, 0}, bool *clipped = nullptr) const {
        return render<RGB>(IMAGE_RGB, scale_x, scale_y, background, clipped);
    }
    image<int8_t> render_binary(float scale_x, float scale_y, bool *clipped = nullptr) const {
        return render<int8_t>(IMAGE_BINARY, scale_x, scale_y, RGB{0, 0, 0}, clipped);
    }
#endif
    static std::optional<drawing> try_load(const std::filesystem::path &path) noexcept {
        drawing d;
        d.p_.reset(ptlLoad(path.c_str()));
        if (!d.p_) return std::nullopt;
        return d;
    }
    bool try_save(const std::filesystem::path &path) const noexcept {
        return p_ && ptlSave(p_.get(), path.c_str()) == 0;
    }
    std::optional<image<RGB>> try_render_rgb(float scale_x, float scale_y, RGB background = {0, 0, 0},
                                             bool *clipped = nullptr) const noexcept {
        return try_render<RGB>(IMAGE_RGB, scale_x, scale_y, background, clipped);
    }
    std::optional<image<int8_t>> try_render_binary(float scale_x, float scale_y,
                                                   bool *clipped = nullptr) const noexcept {
        return try_render<int8_t>(IMAGE_BINARY, scale_x, scale_y, RGB{0, 0, 0}, clipped);
    }

    // A moved-from drawing is empty: no bounds, no elements, no comment.
    bool valid() const noexcept { return static_cast<bool>(p_); }
    rect_f bounds() const { return p_ ? rect_f{p_->x, p_->y, p_->width, p_->height} : rect_f{}; }
    std::size_t size() const { return p_ ? static_cast<std::size_t>(liLen(p_->elements)) : 0; }
    bool colored() const { return p_ && p_->color; }
    std::string_view comment() const { return p_ ? strGet(p_->comment) : ""; }

    // The elements, in drawing order (copies).
    class iterator {
      public:
        using value_type = element;
        using difference_type = std::ptrdiff_t;
        iterator() = default;
        explicit iterator(_ListNode *n) : n_(n) {}
        element operator*() const {
            const auto *e = static_cast<const PointListElemStruct *>(liGet(n_));
            return {e->type, e->color, e->size, e->x1, e->y1, e->x2, e->y2};
        }
        iterator &operator++() {
            n_ = liNext(n_);
            return *this;
        }
        iterator operator++(int) {
            iterator before = *this;
            n_ = liNext(n_);
            return before;
        }
        bool operator==(const iterator &) const = default;

      private:
        _ListNode *n_ = nullptr;
    };
    iterator begin() const { return p_ ? iterator(liFirst(p_->elements)) : iterator(); }
    iterator end() const { return iterator(); }
    PointList get() const noexcept { return p_.get(); }

  private:
    drawing() = default;
#if TESSERA_HPP_THROWS
    drawing &add(unsigned char type, RGB color, float size, float x1, float y1, float x2, float y2) {
        detail::require(valid(), "tessera::drawing: a moved-from drawing");
        PointListElem e = ptlNewElem(type, color, size, x1, y1, x2, y2);
        if (!e) detail::raise("tessera::drawing");
        const std::size_t before = size_of();
        ptlAddElem(p_.get(), e);
        if (size_of() == before) {
            ptlFreeElem(e);
            throw std::bad_alloc();
        }
        return *this;
    }
    std::size_t size_of() const { return static_cast<std::size_t>(liLen(p_->elements)); }
    template <class T>
    image<T> render(unsigned short type, float scale_x, float scale_y, RGB background, bool *clipped) const {
        detail::require(valid(), "tessera::drawing::render: a moved-from drawing");
        detail::require(scale_x > 0 && scale_y > 0, "tessera::drawing::render: scales must be above 0");
        image<T> out = image<T>::adopt(ptlRender(p_.get(), type, scale_x, scale_y, background, clipped));
        if (!out.valid()) detail::raise("tessera::drawing::render");
        return out;
    }
#endif
    template <class T> std::optional<image<T>> try_render(unsigned short type, float scale_x, float scale_y,
                                                          RGB background, bool *clipped) const noexcept {
        if (!valid() || !(scale_x > 0) || !(scale_y > 0)) return std::nullopt;
        image<T> out = image<T>::adopt(ptlRender(p_.get(), type, scale_x, scale_y, background, clipped));
        if (!out.valid()) return std::nullopt;
        return out;
    }
    detail::owner<PointListStruct, ptlFree> p_;
};

} // namespace tessera
