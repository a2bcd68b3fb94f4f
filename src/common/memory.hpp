// Native memory of the package.  Every allocation comes from the
// interpreter's raw allocator (PyMem_RawMalloc): it may be called without
// an attached thread state (a jar's work under its own lock), and a test
// that makes the interpreter's allocators fail reaches it too.
//
// The containers never throw and never end the process: each operation that
// may allocate returns false when memory runs out, leaving the container as
// it was.  They set no exception, since they may run without the
// interpreter; a caller that holds it reports the failure with no_memory().
// Sizes that would overflow count as a failure too.
//
// These are the package's only native containers.  The modules link no C++
// runtime, so nothing may use operator new, std::string, std::vector and the
// like (whose allocation failure would end the process): the build fails
// when a module needs the runtime (cmake/no_cxx_runtime.cmake).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

namespace gco {

// Raises MemoryError; false, for `return no_memory();`.
inline bool no_memory() noexcept {
  PyErr_NoMemory();
  return false;
}

// count * size bytes from the raw allocator, or nullptr (also for an overflow).
inline void* raw_allocate(size_t count, size_t size) noexcept {
  if (size != 0 && count > PY_SSIZE_T_MAX / size) return nullptr;
  return PyMem_RawMalloc(count * size);
}
inline void raw_free(void* p) noexcept { PyMem_RawFree(p); }

// s.substr(pos, count) without the library's range check (which would need
// the C++ runtime to throw): pos is clamped to the end.
inline std::string_view sub(std::string_view s, size_t pos,
                            size_t count = std::string_view::npos) noexcept {
  if (pos > s.size()) pos = s.size();
  if (count > s.size() - pos) count = s.size() - pos;
  return {s.data() + pos, count};
}

// s.starts_with(prefix) and s.ends_with(suffix) by memcmp: the library's
// forms go through substr, whose range check needs the C++ runtime when it
// is not optimised away.
inline bool starts_with(std::string_view s, std::string_view prefix) noexcept {
  return s.size() >= prefix.size() && std::memcmp(s.data(), prefix.data(), prefix.size()) == 0;
}
inline bool ends_with(std::string_view s, std::string_view suffix) noexcept {
  return s.size() >= suffix.size() &&
         std::memcmp(s.data() + s.size() - suffix.size(), suffix.data(), suffix.size()) == 0;
}

// Whether the n bytes at a and at b are equal.  Inline, in words: the texts
// compared on a jar's hot paths (domains, paths) are short, and a call to
// memcmp costs more than comparing them.
inline bool equal_bytes(const char* a, const char* b, size_t n) noexcept {
  auto word = [](const char* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  };
  auto half = [](const char* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  };
  if (n >= 8) {
    // Whole words, then the last word (which may overlap the one before).
    const char* const last = a + n - 8;
    for (; a < last; a += 8, b += 8) {
      if (word(a) != word(b)) return false;
    }
    return word(last) == word(b - (a - last));
  }
  if (n >= 4) return half(a) == half(b) && half(a + n - 4) == half(b + n - 4);
  for (size_t i = 0; i < n; i++) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// A growable array of T.  T's move constructor and destructor must not
// throw; elements move when the array grows, so pointers into it are valid
// only until the next growth.
template <class T>
class Vector {
  static_assert(std::is_nothrow_move_constructible_v<T> && std::is_nothrow_destructible_v<T>);

 public:
  Vector() noexcept = default;
  Vector(const Vector&) = delete;
  Vector& operator=(const Vector&) = delete;
  Vector(Vector&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  Vector& operator=(Vector&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~Vector() { release(); }

  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }
  T& operator[](size_t i) noexcept { return data_[i]; }
  const T& operator[](size_t i) const noexcept { return data_[i]; }
  T& back() noexcept { return data_[size_ - 1]; }
  const T& back() const noexcept { return data_[size_ - 1]; }

  // Room for at least capacity elements in all.
  [[nodiscard]] bool reserve(size_t capacity) noexcept {
    if (capacity <= capacity_) return true;
    T* data = static_cast<T*>(raw_allocate(capacity, sizeof(T)));
    if (data == nullptr) return false;
    if constexpr (kTrivial) {
      // Bytes of a header or pointers: one copy rather than a loop over
      // elements, which cost a dozen instructions a byte.
      if (size_ != 0) std::memcpy(data, data_, size_ * sizeof(T));
    } else {
      for (size_t i = 0; i < size_; i++) {
        new (data + i) T(std::move(data_[i]));
        data_[i].~T();
      }
    }
    raw_free(data_);
    data_ = data;
    capacity_ = capacity;
    return true;
  }

  template <class... Args>
  [[nodiscard]] bool emplace_back(Args&&... args) noexcept {
    if (size_ == capacity_ && !grow(1)) return false;
    new (data_ + size_) T(std::forward<Args>(args)...);
    size_++;
    return true;
  }
  [[nodiscard]] bool push_back(T&& value) noexcept { return emplace_back(std::move(value)); }
  [[nodiscard]] bool push_back(const T& value) noexcept { return emplace_back(value); }

  // Room for extra more elements; the capacity at least doubles when it grows.
  [[nodiscard]] bool reserve_more(size_t extra) noexcept {
    return extra <= capacity_ - size_ || grow(extra);
  }
  // The size set to size (at most capacity()), for plain elements only: the
  // new ones hold whatever bytes are there, for the caller to write.
  void set_size(size_t size) noexcept {
    static_assert(kTrivial);
    size_ = size;
  }

  // Copies of count elements at the end (trivially copyable elements only;
  // items must not point into this array).
  [[nodiscard]] bool append(const T* items, size_t count) noexcept {
    static_assert(kTrivial);
    if (count == 0) return true;
    if (count > capacity_ - size_ && !grow(count)) return false;
    std::memcpy(data_ + size_, items, count * sizeof(T));
    size_ += count;
    return true;
  }

  // Inserts at position (0 <= position <= size()), moving the later ones up.
  [[nodiscard]] bool insert(size_t position, T&& value) noexcept {
    if (size_ == capacity_ && !grow(1)) return false;
    if (position == size_) return emplace_back(std::move(value));
    if constexpr (kTrivial) {
      T copy = value;  // value may be an element of this array
      std::memmove(data_ + position + 1, data_ + position, (size_ - position) * sizeof(T));
      data_[position] = copy;
    } else {
      new (data_ + size_) T(std::move(data_[size_ - 1]));
      for (size_t i = size_ - 1; i > position; i--) data_[i] = std::move(data_[i - 1]);
      data_[position] = std::move(value);
    }
    size_++;
    return true;
  }

  // Value-initialised elements up to size (or the tail dropped).
  [[nodiscard]] bool resize(size_t size) noexcept {
    if (size > capacity_ && !grow(size - size_)) return false;
    if constexpr (kTrivial) {
      // Value-initialised trivial elements are zero bytes.
      if (size > size_)
        std::memset(static_cast<void*>(data_ + size_), 0, (size - size_) * sizeof(T));
      size_ = size;
    } else {
      while (size_ < size) new (data_ + size_++) T();
      while (size_ > size) data_[--size_].~T();
    }
    return true;
  }

  void erase(size_t position) noexcept {
    if constexpr (kTrivial) {
      std::memmove(data_ + position, data_ + position + 1, (size_ - position - 1) * sizeof(T));
      size_--;
    } else {
      for (size_t i = position; i + 1 < size_; i++) data_[i] = std::move(data_[i + 1]);
      data_[--size_].~T();
    }
  }
  void pop_back() noexcept { data_[--size_].~T(); }
  void clear() noexcept {
    if constexpr (kTrivial) {
      size_ = 0;
    } else {
      while (size_ > 0) data_[--size_].~T();
    }
  }

 private:
  // Room for extra more elements; the capacity at least doubles.
  bool grow(size_t extra) noexcept {
    if (extra > PY_SSIZE_T_MAX / sizeof(T) - size_) return false;
    size_t wanted = size_ + extra;
    size_t doubled = capacity_ < 4 ? 4 : capacity_ * 2;
    return reserve(wanted > doubled ? wanted : doubled);
  }
  // Elements that are plain bytes: copied, moved and zeroed as memory.
  static constexpr bool kTrivial =
      std::is_trivially_copyable_v<T> && std::is_trivially_default_constructible_v<T>;

  void release() noexcept {
    clear();
    raw_free(data_);
    data_ = nullptr;
    capacity_ = 0;
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// A growable string of bytes, not NUL-terminated.
class String {
 public:
  String() noexcept = default;
  String(String&&) noexcept = default;
  String& operator=(String&&) noexcept = default;

  const char* data() const noexcept { return bytes_.data(); }
  char* data() noexcept { return bytes_.data(); }
  size_t size() const noexcept { return bytes_.size(); }
  bool empty() const noexcept { return bytes_.empty(); }
  std::string_view view() const noexcept { return {bytes_.data(), bytes_.size()}; }
  operator std::string_view() const noexcept { return view(); }
  char operator[](size_t i) const noexcept { return bytes_[i]; }
  char& operator[](size_t i) noexcept { return bytes_[i]; }
  friend bool operator==(const String& a, const String& b) noexcept { return a.view() == b.view(); }

  [[nodiscard]] bool reserve(size_t capacity) noexcept { return bytes_.reserve(capacity); }
  [[nodiscard]] bool append(std::string_view text) noexcept {
    return bytes_.append(text.data(), text.size());
  }
  [[nodiscard]] bool push_back(char c) noexcept { return bytes_.push_back(c); }
  // n more bytes at the end for the caller to write, or nullptr when memory
  // runs out.
  [[nodiscard]] char* extend(size_t n) noexcept {
    const size_t at = bytes_.size();
    if (n > bytes_.capacity() - at && !bytes_.reserve_more(n)) return nullptr;
    bytes_.set_size(at + n);
    return bytes_.data() + at;
  }
  size_t capacity() const noexcept { return bytes_.capacity(); }
  [[nodiscard]] bool assign(std::string_view text) noexcept {
    bytes_.clear();
    return append(text);
  }
  // Appends n in decimal.
  [[nodiscard]] bool append_decimal(long long n) noexcept {
    char digits[24];
    size_t at = sizeof digits;
    unsigned long long magnitude =
        n < 0 ? 0ULL - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
    do {
      digits[--at] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (n < 0) digits[--at] = '-';
    return append({digits + at, sizeof digits - at});
  }
  // Keeps the first size bytes (size <= size()).
  void truncate(size_t size) noexcept { (void)bytes_.resize(size); }
  void clear() noexcept { bytes_.clear(); }

 private:
  Vector<char> bytes_;
};

// A T that is never destroyed: a process-wide object that holds references,
// which must not be dropped after the interpreter has finished.  Built when
// the module is loaded; nothing registers a destructor for it.
template <class T>
class Immortal {
 public:
  Immortal() noexcept { new (storage_) T(); }
  Immortal(const Immortal&) = delete;
  Immortal& operator=(const Immortal&) = delete;
  T& operator*() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }
  T* operator->() noexcept { return &**this; }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace gco
