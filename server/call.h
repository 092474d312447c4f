// One remote call as the remote object sees it: the method, its arguments
// in interface order (out arguments included, as slots to fill) and its
// logical result, which stays "not written" unless the method writes it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/guid.h"
#include "common/status.h"
#include "common/variant.h"
#include "server/type_library.h"

namespace orvala::server {

// The error information of a failed call.
struct ErrorInfo {
  Guid iid;
  std::string source;
  std::string description;  // UTF-8
  std::string help_file;
  int32_t help_context = 0;
};

struct CallOutcome {
  HResult status = S_OK;
  std::optional<Variant> result;  // nullopt: not written
  std::optional<ErrorInfo> error;
};

class Call {
 public:
  // `args` must already hold one variant per argument of `method`, of the
  // argument's type (the dispatcher checks and converts them).
  Call(const MethodDef& method, std::vector<Variant>& args) : method_(method), args_(args) {}

  const MethodDef& method() const { return method_; }

  // The arguments by the names that the interface gives them, letter case
  // aside ("UserName", "ID_DITTE"), so that a body reads as the interface
  // does and no argument is taken for its neighbour. A name the method
  // lacks is a fault in the server's own code: std::logic_error.
  int32_t i4(std::string_view name) const { return args_[Index(name)].i4(); }
  double r8(std::string_view name) const { return args_[Index(name)].r8(); }
  const std::u16string& bstr(std::string_view name) const { return args_[Index(name)].bstr(); }
  const Variant& var(std::string_view name) const { return args_[Index(name)]; }
  // A text argument converted to the system code page, as names and
  // database parameters take it.
  std::string text(std::string_view name) const;
  Variant& out(std::string_view name) { return args_[Index(name)]; }
  // How the interface declares that argument.
  const ArgDef& declared(std::string_view name) const { return method_.args[Index(name)]; }

  void set_result(int32_t method_result) { result_ = Variant::I4(method_result); }
  void set_result(Variant v) { result_ = std::move(v); }
  const std::optional<Variant>& result() const { return result_; }
  // The result moved out, for the reply that carries it (a fetch's packet
  // can be large); result() is then empty.
  std::optional<Variant> TakeResult() { return std::exchange(result_, std::nullopt); }

 private:
  size_t Index(std::string_view name) const;

  const MethodDef& method_;
  std::vector<Variant>& args_;
  std::optional<Variant> result_;
};

// Checks the argument count and converts each in-argument to its declared
// type as automation would; out arguments become Empty. Returns S_OK,
// DISP_E_BADPARAMCOUNT or DISP_E_TYPEMISMATCH.
HResult PrepareArguments(const MethodDef& method, std::vector<Variant>& args);

}  // namespace orvala::server
