// Bound method callbacks: the one form every event of the system takes.
//
// A TMethod<R(Args...)> is a receiving object plus a code pointer, like a method
// pointer of an object: it is "assigned" when it has code, and two methods are equal
// when both the code and the receiver are equal, so a component can remove exactly
// the handler it installed. Events pass the sender first by convention.
//
//   struct TForm { void LogHandler(TObject* Sender, int AThreadID, ...); };
//   OnLog = TLogEvent::Bind<&TForm::LogHandler>(form);
//
// A plain function with a context pointer binds too (TMethod::FromFunction), which is
// what tests and C-style callers use.
#pragma once
#include <type_traits>
#include <utility>

namespace Platform {

template <class Signature>
class TMethod;

template <class R, class... Args>
class TMethod<R(Args...)> {
 public:
  using TThunk = R (*)(void* AData, Args... AArgs);

  constexpr TMethod() = default;
  constexpr TMethod(std::nullptr_t) {}

  // A member function of C bound to AObject.
  template <auto AMember, class C>
  static TMethod Bind(C* AObject) {
    TMethod m;
    m.FCode = &MemberThunk<AMember, C>;
    m.FData = const_cast<void*>(static_cast<const void*>(AObject));
    return m;
  }

  // A function that receives AData as its first argument.
  static TMethod FromFunction(R (*AFunction)(void*, Args...), void* AData) {
    TMethod m;
    m.FCode = AFunction;
    m.FData = AData;
    return m;
  }

  bool Assigned() const { return FCode != nullptr; }
  explicit operator bool() const { return Assigned(); }

  R operator()(Args... AArgs) const { return FCode(FData, std::forward<Args>(AArgs)...); }

  void* Data() const { return FData; }
  TThunk Code() const { return FCode; }

  friend bool operator==(const TMethod& A, const TMethod& B) {
    return A.FCode == B.FCode && A.FData == B.FData;
  }

 private:
  template <auto AMember, class C>
  static R MemberThunk(void* AData, Args... AArgs) {
    return (static_cast<C*>(AData)->*AMember)(std::forward<Args>(AArgs)...);
  }

  TThunk FCode = nullptr;
  void* FData = nullptr;
};

// A method without arguments (what MySynchronize runs on the main thread).
using TThreadMethod = TMethod<void()>;

}  // namespace Platform
