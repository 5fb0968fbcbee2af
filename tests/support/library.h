// Loads the built library at run time, as a host does, and finds its exports.
#pragma once

namespace qws::test {

class Library {
 public:
  explicit Library(const char* path);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  void* symbol(const char* name) const;
  // By ordinal where the platform has them; null elsewhere.
  void* ordinal(int number) const;

  template <class Function>
  Function get(const char* name) const {
    return reinterpret_cast<Function>(symbol(name));
  }

 private:
  void* handle_;
};

bool HasOrdinals();

}  // namespace qws::test
