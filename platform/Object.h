// The root class and components: objects with a class name, components with a name,
// owned by an owner component that destroys them with itself. A component is being
// designed (placed in a designer rather than run) when its owner is, or when it was
// marked so itself.
#pragma once
#include <new>
#include <string>
#include <vector>

namespace Platform {

class TObject {
 public:
  virtual ~TObject() = default;
  // Runs once when the object is freed with delete, before any destructor of its classes:
  // the whole object is still there. A class whose own threads call its virtual methods
  // stops them here, so no thread ever sees a half-destroyed object, whatever its
  // descendants' destructors do or forget to do. The default does nothing.
  virtual void BeforeDestruction() {}
  // delete of any object of this hierarchy: BeforeDestruction, then the destructors (the
  // most derived first), then the memory of the whole object.
  void operator delete(TObject* AObject, std::destroying_delete_t);
  // The memory of an object whose constructor raised (no destructor runs then): without
  // a usual delete beside the destroying one, that memory would be lost.
  static void operator delete(void* AMemory) { ::operator delete(AMemory); }
  // The class's own name, without namespaces ("TFFLogWorker").
  std::string ClassName() const;
};

class TComponent : public TObject {
 public:
  // The new component is owned by AOwner (when given) and destroyed with it.
  explicit TComponent(TComponent* AOwner = nullptr);
  // Destroys the owned components, the last created first, then leaves its owner.
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  void SetName(const std::string& AName) { FName = AName; }
  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int AIndex) const { return FComponents[AIndex]; }
  bool Designing() const { return FDesigning; }
  // Destroys the owned components, the last created first. A descendant whose owned
  // components may still call it back (events, hooks) calls this first in its destructor,
  // while its own members are still there.
  void DestroyComponents();

 protected:
  // Marks the component and every component it owns as designed or not.
  void SetDesigning(bool AValue);

 private:
  TComponent* FOwner;
  std::string FName;
  bool FDesigning = false;
  std::vector<TComponent*> FComponents;
};

}  // namespace Platform
