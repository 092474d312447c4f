#include "server/call.h"

#include "common/codepage.h"
#include "common/error.h"

#include <stdexcept>

namespace orvala::server {

std::string Call::text(std::string_view name) const {
  return CodePage::System().Encode(args_[Index(name)].bstr());
}

size_t Call::Index(std::string_view name) const {
  const std::optional<int> index = ArgIndexByName(method_, name);
  if (!index) {
    throw std::logic_error(std::string(method_.name) + " has no argument " + std::string(name));
  }
  return static_cast<size_t>(*index);
}

namespace {

bool IsNumber(VarType t) {
  switch (t) {
    case VarType::I2:
    case VarType::I4:
    case VarType::I8:
    case VarType::R8:
    case VarType::Currency:
    case VarType::Bool:
    case VarType::Empty:
      return true;
    default:
      return false;
  }
}

// Converts one in-argument; false when automation would refuse the type.
bool Coerce(ArgType type, Variant& v) {
  try {
    switch (type) {
      case ArgType::Variant:
        return true;
      case ArgType::BStr:
        if (v.type() == VarType::BStr) return true;
        if (v.type() == VarType::Empty) {
          v = Variant::BStr(u"");
          return true;
        }
        return false;
      case ArgType::I4:
        if (!IsNumber(v.type())) return false;
        v = Variant::I4(v.ToInt32());
        return true;
      case ArgType::R8:
        if (!IsNumber(v.type()) && v.type() != VarType::Date) return false;
        v = Variant::R8(v.ToDouble());
        return true;
    }
  } catch (const Error&) {
    return false;  // out of range or with a fraction
  }
  return false;
}

}  // namespace

HResult PrepareArguments(const MethodDef& method, std::vector<Variant>& args) {
  if (args.size() != method.args.size()) return DISP_E_BADPARAMCOUNT;
  for (size_t i = 0; i < args.size(); ++i) {
    const ArgDef& def = method.args[i];
    if (def.direction == ArgDirection::Out) {
      args[i] = Variant();
    } else if (!Coerce(def.type, args[i])) {
      return DISP_E_TYPEMISMATCH;
    }
  }
  return S_OK;
}

}  // namespace orvala::server
