// A growable byte buffer for building one result bytes object.  It starts
// in place and moves to the heap only for long results; growth doubles, so
// building a result costs time linear in its length.
#pragma once

#include <Python.h>

#include <cstring>

namespace gco {

class ByteBuffer {
 public:
  ByteBuffer() noexcept = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() {
    if (data_ != inline_) PyMem_Free(data_);
  }

  // Room for extra more bytes; false with MemoryError set.
  bool reserve(Py_ssize_t extra) noexcept {
    if (extra <= capacity_ - size_) return true;
    if (extra > PY_SSIZE_T_MAX / 2 - size_) {
      PyErr_NoMemory();
      return false;
    }
    Py_ssize_t capacity = capacity_ * 2;
    if (capacity < size_ + extra) capacity = size_ + extra;
    char* data = static_cast<char*>(PyMem_Malloc(static_cast<size_t>(capacity)));
    if (data == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    std::memcpy(data, data_, static_cast<size_t>(size_));
    if (data_ != inline_) PyMem_Free(data_);
    data_ = data;
    capacity_ = capacity;
    return true;
  }

  bool append(const char* bytes, Py_ssize_t length) noexcept {
    if (!reserve(length)) return false;
    std::memcpy(data_ + size_, bytes, static_cast<size_t>(length));
    size_ += length;
    return true;
  }
  template <size_t N>
  bool append_literal(const char (&literal)[N]) noexcept {
    return append(literal, static_cast<Py_ssize_t>(N - 1));
  }
  bool append_bytes(PyObject* bytes) noexcept {
    return append(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes));
  }
  // Space for length bytes that the caller writes; commit() afterwards.
  char* claim(Py_ssize_t length) noexcept { return reserve(length) ? data_ + size_ : nullptr; }
  void commit(Py_ssize_t length) noexcept { size_ += length; }

  const char* data() const noexcept { return data_; }
  Py_ssize_t size() const noexcept { return size_; }
  PyObject* to_bytes() const noexcept { return PyBytes_FromStringAndSize(data_, size_); }

 private:
  static constexpr Py_ssize_t kInline = 256;
  char inline_[kInline];
  char* data_ = inline_;
  Py_ssize_t size_ = 0;
  Py_ssize_t capacity_ = kInline;
};

}  // namespace gco
