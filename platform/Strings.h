// A list of strings, as the information printers and option help fill it.
#pragma once
#include <string>
#include <vector>

#include "platform/Exception.h"

namespace Platform {

// An index outside the list: "List index out of bounds (<index>)".
class EStringListError : public Exception {
 public:
  using Exception::Exception;
};

class TStringList {
 public:
  int Add(const std::string& AText);  // returns the new index
  void Insert(int AIndex, const std::string& AText);
  void Delete(int AIndex);
  void Clear();
  int Count() const { return static_cast<int>(FItems.size()); }
  const std::string& operator[](int AIndex) const;
  std::string& operator[](int AIndex);
  int IndexOf(const std::string& AText) const;  // -1 when absent
  // The lines joined with "\n" after each; SetText splits at "\n" (a "\r" before it is
  // dropped).
  std::string Text() const;
  void SetText(const std::string& AText);
  void AddStrings(const TStringList& AOther);
  const std::vector<std::string>& Items() const { return FItems; }

 private:
  std::vector<std::string> FItems;
};

}  // namespace Platform
