// How the common frame treats one remote method: whether the logged-in
// flag gates it, the method result written before its work starts, which
// errors it absorbs and what a caught error then writes. Each entry of the
// interface table carries its rule (type_library.h); frame.h applies it.
#pragma once

namespace orvala::server {

enum class Preset { None, Zero, One, Empty };
// AnyError: errors of the system's error type; Everything: any raised object.
enum class Catches { Nothing, AnyError, Everything };
enum class OnCaught {
  Nothing,       // nothing reported, result as it stands
  ResultOne,     // method result 1
  VariantOne,    // the returned variant becomes I4 1
  LogResultOne,  // an error entry in the application log, then method result 1
};

struct FrameRule {
  bool gated = false;
  Preset preset = Preset::None;
  Catches catches = Catches::Nothing;
  OnCaught on_caught = OnCaught::Nothing;
};

}  // namespace orvala::server
