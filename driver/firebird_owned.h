// The owner type for Firebird's interfaces, light enough for headers that
// only hold them: the interfaces themselves stay forward-declared until the
// owner gives one back, where the full Firebird API is included.
#pragma once

#include <memory>
#include <type_traits>

namespace Firebird {
class IReferenceCounted;
}  // namespace Firebird

namespace orvala::driver::fb {

// Gives back what a Firebird interface holds: reference-counted ones
// (attachments, statements, metadata, blobs) are released, the others
// (status vectors, parameter-block builders) disposed.
struct Releaser {
  template <typename T>
  void operator()(T* p) const noexcept {
    if constexpr (std::is_base_of_v<Firebird::IReferenceCounted, T>) {
      p->release();
    } else {
      p->dispose();
    }
  }
};

// Owns one Firebird interface pointer; null owns nothing.
template <typename T>
using Owned = std::unique_ptr<T, Releaser>;

template <typename T>
Owned<T> Own(T* p) {
  return Owned<T>(p);
}

}  // namespace orvala::driver::fb
