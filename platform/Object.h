// The root class and components: objects with a class name, components with a name,
// owned by an owner component that destroys them with itself.
#pragma once
#include <string>
#include <vector>

namespace Platform {

class TObject {
 public:
  virtual ~TObject() = default;
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

 private:
  TComponent* FOwner;
  std::string FName;
  std::vector<TComponent*> FComponents;
};

}  // namespace Platform
