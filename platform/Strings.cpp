#include "platform/Strings.h"

#include "platform/Format.h"

namespace Platform {

namespace {
[[noreturn]] void IndexError(int AIndex) {
  throw EStringListError(Format("List index out of bounds (%d)", AIndex));
}
}  // namespace

int TStringList::Add(const std::string& AText) {
  FItems.push_back(AText);
  return Count() - 1;
}

void TStringList::Insert(int AIndex, const std::string& AText) {
  if (AIndex < 0 || AIndex > Count()) IndexError(AIndex);
  FItems.insert(FItems.begin() + AIndex, AText);
}

void TStringList::Delete(int AIndex) {
  if (AIndex < 0 || AIndex >= Count()) IndexError(AIndex);
  FItems.erase(FItems.begin() + AIndex);
}

void TStringList::Clear() { FItems.clear(); }

const std::string& TStringList::operator[](int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) IndexError(AIndex);
  return FItems[static_cast<size_t>(AIndex)];
}

std::string& TStringList::operator[](int AIndex) {
  if (AIndex < 0 || AIndex >= Count()) IndexError(AIndex);
  return FItems[static_cast<size_t>(AIndex)];
}

int TStringList::IndexOf(const std::string& AText) const {
  for (int i = 0; i < Count(); ++i)
    if (FItems[static_cast<size_t>(i)] == AText) return i;
  return -1;
}

std::string TStringList::Text() const {
  std::string result;
  size_t length = 0;
  for (const std::string& s : FItems) length += s.size() + 1;
  result.reserve(length);
  for (const std::string& s : FItems) {
    result += s;
    result += '\n';
  }
  return result;
}

void TStringList::SetText(const std::string& AText) {
  FItems.clear();
  size_t start = 0;
  while (start < AText.size()) {
    size_t end = AText.find('\n', start);
    if (end == std::string::npos) {
      FItems.push_back(AText.substr(start));  // a last line without a line break
      break;
    }
    size_t lineEnd = end;
    if (lineEnd > start && AText[lineEnd - 1] == '\r') --lineEnd;
    FItems.push_back(AText.substr(start, lineEnd - start));
    start = end + 1;
  }
}

void TStringList::AddStrings(const TStringList& AOther) {
  if (&AOther == this) {
    const std::vector<std::string> copy = FItems;
    FItems.insert(FItems.end(), copy.begin(), copy.end());
    return;
  }
  FItems.insert(FItems.end(), AOther.FItems.begin(), AOther.FItems.end());
}

}  // namespace Platform
