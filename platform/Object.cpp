#include "platform/Object.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace Platform {

namespace {

// "ns::TFoo<ns::TBar, 3>" -> "TFoo": template arguments and namespaces (and enclosing
// classes or functions) dropped.
std::string BareName(const std::string& AName) {
  std::string outer;  // the name with every <...> removed
  int depth = 0;
  for (char c : AName) {
    if (c == '<') {
      ++depth;
    } else if (c == '>') {
      if (depth > 0) --depth;
    } else if (depth == 0) {
      outer += c;
    }
  }
  const size_t colon = outer.rfind("::");
  return colon == std::string::npos ? outer : outer.substr(colon + 2);
}

}  // namespace

std::string TObject::ClassName() const {
  const char* mangled = typeid(*this).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  return BareName(status == 0 && demangled ? demangled.get() : mangled);
}

void TObject::operator delete(TObject* AObject, std::destroying_delete_t) {
  AObject->BeforeDestruction();
  // The memory starts at the whole object, which need not be where this base sits.
  void* whole = dynamic_cast<void*>(AObject);
  AObject->~TObject();
  ::operator delete(whole);
}

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
  if (FOwner) {
    FDesigning = FOwner->FDesigning;
    FOwner->FComponents.push_back(this);
  }
}

TComponent::~TComponent() {
  DestroyComponents();
  if (FOwner) {
    std::vector<TComponent*>& siblings = FOwner->FComponents;
    auto it = std::find(siblings.rbegin(), siblings.rend(), this);
    if (it != siblings.rend()) siblings.erase(std::next(it).base());
  }
}

void TComponent::DestroyComponents() {
  // Each owned component leaves this list in its own destructor.
  while (!FComponents.empty()) {
    TComponent* last = FComponents.back();
    delete last;
    if (!FComponents.empty() && FComponents.back() == last) FComponents.pop_back();
  }
}

void TComponent::SetDesigning(bool AValue) {
  FDesigning = AValue;
  for (TComponent* c : FComponents) c->SetDesigning(AValue);
}

}  // namespace Platform
