// The text rule (text.hpp).
#include "text.hpp"

#include <cstring>

namespace gco::text {

PyObject* decode_text(const char* data, Py_ssize_t size) noexcept {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* end = p + size;
  Py_ssize_t ascii = 0;
  while (ascii < size && p[ascii] < 0x80) ascii++;
  if (ascii == size) {
    if (size <= 1) return PyUnicode_DecodeASCII(data, size, "strict");
    PyObject* text = PyUnicode_New(size, 127);
    if (text != nullptr) std::memcpy(PyUnicode_DATA(text), data, static_cast<size_t>(size));
    return text;
  }
  uint32_t local[256] = {};
  uint32_t* codes =
      size <= 256 ? local : static_cast<uint32_t*>(PyMem_Malloc(sizeof(uint32_t) * size));
  if (codes == nullptr) return PyErr_NoMemory();
  Py_ssize_t n = 0;
  for (const unsigned char* q = p; q < end;) codes[n++] = next_code(q, end);
  PyObject* text = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, codes, n);
  if (codes != local) PyMem_Free(codes);
  return text;
}

}  // namespace gco::text
