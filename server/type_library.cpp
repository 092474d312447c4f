#include "server/type_library.h"

#include <sstream>

#include "common/ascii.h"
#include "server/orvala.h"

namespace orvala::server {
namespace {

using D = ArgDirection;
using T = ArgType;
using C = Catches;
using O = OnCaught;
using P = Preset;

template <void (TOrvala::*F)(Call&)>
constexpr MethodBody Member = &MemberBody<F>;
constexpr MethodBody Accounting = &MemberBody<&TOrvala::RunAccountingService>;

constexpr Guid G(uint32_t d1, uint16_t d2, uint16_t d3, std::array<uint8_t, 8> d4) {
  return Guid{d1, d2, d3, d4};
}

const LibraryInfo kLibrary = {
    "OrvalaAppServer",
    "OrvalaAppServer Library",
    G(0x85BF87D6, 0xFB51, 0x4EFC, {0xAA, 0x81, 0xC5, 0x37, 0x2C, 0x09, 0xFC, 0x14}),
    1,
    0,
    1033,
    "IOrvala",
    "Dispatch interface for Orvala Object",
    G(0x147DD1FA, 0x4A92, 0x4421, {0x8B, 0x82, 0xCE, 0x90, 0x27, 0x96, 0x30, 0x33}),
    G(0x1AEFCC20, 0x7A24, 0x11D2, {0x98, 0xB0, 0xC6, 0x9B, 0xEB, 0x4B, 0x5B, 0x6D}),
    "Orvala",
    "Orvala Object",
    G(0xBE3B9670, 0xC4E5, 0x49A5, {0xBD, 0xB2, 0x53, 0xBB, 0x77, 0x93, 0x65, 0x1F}),
    "OrvalaAppServer.Orvala",
};

// Argument lists, named as the interface names them.
constexpr ArgDef kNone[] = {{"", D::In, T::I4}};
constexpr ArgDef kApplyUpdates[] = {{"ProviderName", D::In, T::BStr},
                                    {"Delta", D::In, T::Variant},
                                    {"MaxErrors", D::In, T::I4},
                                    {"ErrorCount", D::Out, T::I4},
                                    {"OwnerData", D::InOut, T::Variant}};
constexpr ArgDef kGetRecords[] = {{"ProviderName", D::In, T::BStr},
                                  {"Count", D::In, T::I4},
                                  {"RecsOut", D::Out, T::I4},
                                  {"Options", D::In, T::I4},
                                  {"CommandText", D::In, T::BStr},
                                  {"Params", D::InOut, T::Variant},
                                  {"OwnerData", D::InOut, T::Variant}};
constexpr ArgDef kDataRequest[] = {{"ProviderName", D::In, T::BStr}, {"Data", D::In, T::Variant}};
constexpr ArgDef kGetParams[] = {{"ProviderName", D::In, T::BStr},
                                 {"OwnerData", D::InOut, T::Variant}};
constexpr ArgDef kRowRequest[] = {{"ProviderName", D::In, T::BStr},
                                  {"Row", D::In, T::Variant},
                                  {"RequestType", D::In, T::I4},
                                  {"OwnerData", D::InOut, T::Variant}};
constexpr ArgDef kExecute[] = {{"ProviderName", D::In, T::BStr},
                               {"CommandText", D::In, T::BStr},
                               {"Params", D::InOut, T::Variant},
                               {"OwnerData", D::InOut, T::Variant}};

constexpr ArgDef kLogin[] = {{"UserName", D::In, T::BStr}, {"Password", D::In, T::BStr},
                             {"Anno", D::In, T::I4},       {"ID_Ditta", D::In, T::BStr},
                             {"ID_Utenti", D::Out, T::Variant}};
constexpr ArgDef kLogoff[] = {{"UserName", D::In, T::BStr}};
constexpr ArgDef kScriviLog[] = {{"Tipo", D::In, T::I4},        {"AppMessage", D::In, T::BStr},
                                 {"AClassName", D::In, T::BStr}, {"AppName", D::In, T::BStr},
                                 {"AFormName", D::In, T::BStr},  {"UserName", D::In, T::BStr}};
constexpr ArgDef kCanDo[] = {{"ID_Utenti", D::In, T::I4}, {"ID_Funzioni", D::In, T::BStr}};
constexpr ArgDef kExecSql[] = {{"ASQL", D::In, T::BStr}};
constexpr ArgDef kCheckNumRegistrazione[] = {
    {"ID_DITTE", D::In, T::BStr},          {"ID_ANNO", D::In, T::I4},
    {"NUM_REGISTRAZIONE", D::In, T::I4},   {"LAST_REGISTRAZIONE", D::Out, T::Variant},
    {"CODCAU", D::In, T::I4},              {"TIPOPIANO", D::In, T::I4}};
constexpr ArgDef kSetQuery[] = {{"strSql", D::In, T::BStr}, {"toSelect", D::In, T::I4}};
constexpr ArgDef kUpdatePianoProgressivo[] = {
    {"ID_DITTE", D::In, T::BStr}, {"ID_ANNO", D::In, T::I4},    {"TIPOCONTO", D::In, T::I4},
    {"MASTRO", D::In, T::I4},     {"CONTO", D::In, T::I4},      {"SOTTOCONTO", D::In, T::I4},
    {"DETTAGLIO", D::In, T::I4},  {"IMPORTO", D::In, T::R8},    {"Tipo", D::In, T::BStr}};
constexpr ArgDef kUpdateIvaProgressivo[] = {
    {"ID_DITTE", D::In, T::BStr},   {"ID_ANNO", D::In, T::I4},    {"MESERIF", D::In, T::I4},
    {"REGISTRO", D::In, T::I4},     {"ID_TAB_ISO", D::In, T::I4}, {"CODICE_IVA", D::In, T::BStr},
    {"IMPONIBILE", D::In, T::R8},   {"IVA", D::In, T::R8}};
constexpr ArgDef kCheckNumDocumento[] = {{"ID_DITTE", D::In, T::BStr},
                                         {"ID_ANNO", D::In, T::I4},
                                         {"NUMERO", D::In, T::I4},
                                         {"LAST_DOCUMENTO", D::Out, T::Variant},
                                         {"CONFRONTO", D::In, T::I4}};
constexpr ArgDef kDeleteRegistrazione[] = {
    {"ID_DITTE", D::In, T::BStr}, {"ID_ANNO", D::In, T::I4}, {"NUMREG", D::In, T::I4}};
constexpr ArgDef kUpdateHeader[] = {
    {"ID_DITTE", D::In, T::BStr},          {"ID_ANNO", D::In, T::I4},
    {"NUM_REGISTRAZIONE", D::In, T::I4},   {"CODCAUSALE", D::In, T::I4},
    {"TIPOPIANO", D::In, T::I4},           {"MASTRO", D::In, T::I4},
    {"CONTO", D::In, T::I4},               {"SOTTOCONTO", D::In, T::I4},
    {"DETTAGLIO", D::In, T::I4},           {"IMPORTO", D::In, T::R8},
    {"DATA_SCADENZA", D::In, T::Variant},  {"PROTOCOLLO", D::In, T::I4},
    {"NUMERO_DOCUMENTO", D::In, T::I4},    {"SIGLA_DOCUMENTO", D::In, T::BStr},
    {"DATA_DOCUMENTO", D::In, T::Variant}, {"NUMERO_PARTITA", D::In, T::I4},
    {"RIFERIMENTO_IVA", D::In, T::Variant}, {"COMPETENZA", D::In, T::Variant},
    {"COND_PAGAMENTO", D::In, T::I4},      {"VALUTA", D::In, T::I4},
    {"DATA_VALUTA", D::In, T::Variant},    {"CAMBIO", D::In, T::R8}};
constexpr ArgDef kAddProvider[] = {{"ProviderName", D::In, T::BStr}, {"SQL", D::In, T::BStr}};
constexpr ArgDef kAddParameter[] = {{"ParamName", D::In, T::BStr},
                                    {"ParamValue", D::In, T::Variant},
                                    {"ProviderName", D::In, T::BStr}};
constexpr ArgDef kDestroyProvider[] = {{"ProviderName", D::In, T::BStr}};
constexpr ArgDef kIsLocked[] = {{"ID_DITTE", D::In, T::BStr},
                                {"ID_ANNO", D::In, T::I4},
                                {"NUM_REGISTRAZIONE", D::In, T::I4}};
constexpr ArgDef kExistingDocumento[] = {
    {"ID_DITTE", D::In, T::BStr},     {"ID_ANNO", D::In, T::I4},  {"NUM_DOCUMENTO", D::In, T::I4},
    {"REGISTRO", D::In, T::I4},       {"MASTRO", D::In, T::I4},   {"CONTO", D::In, T::I4},
    {"SOTTOCONTO", D::In, T::I4},     {"ESISTENTE", D::Out, T::Variant}};
constexpr ArgDef kIdClienti[] = {{"ID_CLIENTI", D::In, T::I4}};
constexpr ArgDef kIdFornitori[] = {{"ID_FORNITORI", D::In, T::I4}};
constexpr ArgDef kCf[] = {{"CF", D::In, T::BStr}};
constexpr ArgDef kAddMasterProvider[] = {{"ProviderName", D::In, T::BStr},
                                         {"SQL", D::In, T::BStr},
                                         {"DataSourceName", D::In, T::BStr}};
constexpr ArgDef kDestroyMasterProvider[] = {{"ProviderName", D::In, T::BStr},
                                             {"DataSource", D::In, T::BStr}};
constexpr ArgDef kAddDetailProvider[] = {{"ProviderName", D::In, T::BStr},
                                         {"SQL", D::In, T::BStr},
                                         {"MasterDataSource", D::In, T::BStr}};
constexpr ArgDef kNextSottoconto[] = {
    {"DITTA", D::In, T::BStr}, {"MASTRO", D::In, T::I4}, {"CONTO", D::In, T::I4}};
constexpr ArgDef kGetSession[] = {{"SessionNumber", D::Out, T::Variant}};
constexpr ArgDef kUpdateIvaTerProgressivo[] = {
    {"ID_DITTE", D::In, T::BStr},      {"ID_ANNO", D::In, T::I4},
    {"MESERIF", D::In, T::I4},         {"REGISTRO", D::In, T::I4},
    {"ID_TAB_ISO", D::In, T::I4},      {"ID_TIPO_VIAGGIO", D::In, T::I4},
    {"CODICE_IVA", D::In, T::BStr},    {"IMPONIBILE", D::In, T::R8},
    {"IVA", D::In, T::R8}};

constexpr std::span<const ArgDef> kEmpty = std::span<const ArgDef>(kNone, 0);

using K = InterfaceKind;
using R = ResultType;

// The provider operations keep the dispatch identifiers of the provider
// interface they come from.
const MethodDef kMethods[] = {
    {0, 0, "QueryInterface", K::Unknown, kEmpty, R::None, nullptr},
    {1, 0, "AddRef", K::Unknown, kEmpty, R::None, nullptr},
    {2, 0, "Release", K::Unknown, kEmpty, R::None, nullptr},
    {3, 0, "GetTypeInfoCount", K::Dispatch, kEmpty, R::None, nullptr},
    {4, 0, "GetTypeInfo", K::Dispatch, kEmpty, R::None, nullptr},
    {5, 0, "GetIDsOfNames", K::Dispatch, kEmpty, R::None, nullptr},
    {6, 0, "Invoke", K::Dispatch, kEmpty, R::None, nullptr},
    {7, 20000000, "AS_ApplyUpdates", K::AppServer, kApplyUpdates, R::Variant, "Result",
     {}, Member<&TOrvala::AsApplyUpdates>},
    {8, 20000001, "AS_GetRecords", K::AppServer, kGetRecords, R::Variant, "Result",
     {}, Member<&TOrvala::AsGetRecords>},
    {9, 20000002, "AS_DataRequest", K::AppServer, kDataRequest, R::Variant, "Result",
     {}, Member<&TOrvala::AsDataRequest>},
    {10, 20000003, "AS_GetProviderNames", K::AppServer, kEmpty, R::Variant, "Result",
     {}, Member<&TOrvala::AsGetProviderNames>},
    {11, 20000004, "AS_GetParams", K::AppServer, kGetParams, R::Variant, "Result",
     {}, Member<&TOrvala::AsGetParams>},
    {12, 20000005, "AS_RowRequest", K::AppServer, kRowRequest, R::Variant, "Result",
     {}, Member<&TOrvala::AsRowRequest>},
    {13, 20000006, "AS_Execute", K::AppServer, kExecute, R::None, nullptr,
     {}, Member<&TOrvala::AsExecute>},
    {14, 1, "Login", K::Orvala, kLogin, R::MethodResult, "Result",
     {false, P::Zero, C::AnyError, O::LogResultOne}, Member<&TOrvala::Login>},
    {15, 2, "Logoff", K::Orvala, kLogoff, R::MethodResult, "Result",
     {true, P::None, C::AnyError, O::LogResultOne}, Member<&TOrvala::Logoff>},
    {16, 3, "ScriviLOG", K::Orvala, kScriviLog, R::MethodResult, "Result",
     {true, P::Zero, C::AnyError, O::ResultOne}, Member<&TOrvala::ScriviLOG>},
    {17, 4, "CanDo", K::Orvala, kCanDo, R::MethodResult, "AResult",
     {true, P::One, C::AnyError, O::ResultOne}, Member<&TOrvala::CanDo>},
    {18, 5, "OpenDB", K::Orvala, kEmpty, R::None, nullptr,
     {false, P::None, C::Nothing, O::Nothing}, Member<&TOrvala::OpenDB>},
    {19, 6, "ExecSQL", K::Orvala, kExecSql, R::MethodResult, "Result",
     {false, P::Zero, C::Everything, O::ResultOne}, Member<&TOrvala::ExecSQL>},
    {20, 7, "CheckNumRegistrazione", K::Orvala, kCheckNumRegistrazione, R::MethodResult, "Result",
     {true, P::One, C::AnyError, O::ResultOne}, Accounting},
    {21, 8, "setQuery", K::Orvala, kSetQuery, R::MethodResult, "Result",
     {true, P::One, C::AnyError, O::ResultOne}, Member<&TOrvala::SetQuery>},
    {22, 9, "UpdatePianoProgressivo", K::Orvala, kUpdatePianoProgressivo, R::None, nullptr,
     {false, P::None, C::AnyError, O::Nothing}, Accounting},
    {23, 10, "UpdateIVAProgressivo", K::Orvala, kUpdateIvaProgressivo, R::None, nullptr,
     {false, P::None, C::AnyError, O::Nothing}, Accounting},
    {24, 11, "CheckNumDocumento", K::Orvala, kCheckNumDocumento, R::MethodResult, "Result",
     {true, P::One, C::AnyError, O::ResultOne}, Accounting},
    {25, 12, "DeleteRegistrazione", K::Orvala, kDeleteRegistrazione, R::None, nullptr,
     {false, P::None, C::AnyError, O::Nothing}, Accounting},
    {26, 13, "UpdateHeader", K::Orvala, kUpdateHeader, R::None, nullptr,
     {false, P::None, C::AnyError, O::Nothing}, Accounting},
    {27, 14, "AddProvider", K::Orvala, kAddProvider, R::MethodResult, "Result",
     {false, P::Zero, C::Everything, O::ResultOne}, Member<&TOrvala::AddProvider>},
    {28, 15, "AddParameter", K::Orvala, kAddParameter, R::MethodResult, "Result",
     {false, P::Zero, C::Everything, O::ResultOne}, Member<&TOrvala::AddParameter>},
    {29, 16, "DestroyProvider", K::Orvala, kDestroyProvider, R::MethodResult, "Result",
     {false, P::None, C::Nothing, O::Nothing}, Member<&TOrvala::DestroyProvider>},
    {30, 17, "ClearPrimaNota", K::Orvala, kEmpty, R::None, nullptr,
     {false, P::None, C::Everything, O::Nothing}, Accounting},
    {31, 18, "isLocked", K::Orvala, kIsLocked, R::MethodResult, "AResult",
     {true, P::One, C::AnyError, O::ResultOne}, Accounting},
    {32, 20, "ExistingDocumento", K::Orvala, kExistingDocumento, R::MethodResult, "Result",
     {true, P::One, C::AnyError, O::ResultOne}, Accounting},
    {33, 19, "CanDeleteCliente", K::Orvala, kIdClienti, R::MethodResult, "AResult",
     {true, P::One, C::AnyError, O::ResultOne}, Accounting},
    {34, 21, "CheckClientiCF", K::Orvala, kCf, R::MethodResult, "AResult",
     {true, P::One, C::AnyError, O::ResultOne}, Accounting},
    {35, 22, "AddMasterProvider", K::Orvala, kAddMasterProvider, R::MethodResult, "AResult",
     {false, P::Zero, C::Everything, O::ResultOne}, Member<&TOrvala::AddMasterProvider>},
    {36, 23, "DestroyMasterProvider", K::Orvala, kDestroyMasterProvider, R::MethodResult, "AResult",
     {false, P::None, C::Nothing, O::Nothing}, Member<&TOrvala::DestroyMasterProvider>},
    {37, 25, "AddDetailProvider", K::Orvala, kAddDetailProvider, R::MethodResult, "AResult",
     {false, P::Zero, C::Everything, O::ResultOne}, Member<&TOrvala::AddDetailProvider>},
    {38, 26, "CanDeleteClienteDitta", K::Orvala, kIdClienti, R::MethodResult, "AResult",
     {true, P::One, C::AnyError, O::ResultOne}, Accounting},
    {39, 31, "CanDeleteFornitori", K::Orvala, kIdFornitori, R::MethodResult, "AResult",
     {true, P::One, C::AnyError, O::ResultOne}, Accounting},
    {40, 32, "CheckFornitoriCF", K::Orvala, kCf, R::MethodResult, "AResult",
     {true, P::One, C::AnyError, O::ResultOne}, Accounting},
    {41, 24, "Next_Sottoconto_Cliente", K::Orvala, kNextSottoconto, R::Variant, "Result",
     {false, P::Empty, C::Everything, O::VariantOne}, Accounting},
    {42, 27, "Next_Sottoconto_Fornitore", K::Orvala, kNextSottoconto, R::Variant, "Result",
     {false, P::Empty, C::Everything, O::VariantOne}, Accounting},
    {43, 28, "GetSession", K::Orvala, kGetSession, R::MethodResult, "Result",
     {false, P::None, C::Nothing, O::Nothing}, Member<&TOrvala::GetSession>},
    {44, 34, "updateIVATERProgressivo", K::Orvala, kUpdateIvaTerProgressivo, R::None, nullptr,
     {false, P::None, C::AnyError, O::Nothing}, Accounting},
};

bool Callable(const MethodDef& m) {
  return m.kind == InterfaceKind::AppServer || m.kind == InterfaceKind::Orvala;
}

}  // namespace

const LibraryInfo& Library() { return kLibrary; }

std::span<const MethodDef> Methods() { return kMethods; }

const MethodDef* MethodBySlot(int slot) {
  if (slot < 0 || slot >= static_cast<int>(std::size(kMethods))) return nullptr;
  const MethodDef& m = kMethods[slot];
  return Callable(m) ? &m : nullptr;
}

const MethodDef* MethodByDispid(int32_t dispid) {
  for (const MethodDef& m : kMethods) {
    if (Callable(m) && m.dispid == dispid) return &m;
  }
  return nullptr;
}

const MethodDef* MethodByName(std::string_view name) {
  for (const MethodDef& m : kMethods) {
    if (Callable(m) && EqualsIgnoreCase(m.name, name)) return &m;
  }
  return nullptr;
}

std::optional<int> ArgIndexByName(const MethodDef& method, std::string_view name) {
  for (size_t i = 0; i < method.args.size(); ++i) {
    if (EqualsIgnoreCase(method.args[i].name, name)) return static_cast<int>(i);
  }
  return std::nullopt;
}

namespace {

template <typename Enum>
struct Named {
  Enum value;
  const char* name;
};

constexpr Named<ArgType> kArgTypeNames[] = {
    {ArgType::BStr, "BSTR"}, {ArgType::I4, "I4"}, {ArgType::R8, "R8"}, {ArgType::Variant, "VARIANT"}};
constexpr Named<ArgDirection> kDirectionNames[] = {
    {ArgDirection::In, "in"}, {ArgDirection::Out, "out"}, {ArgDirection::InOut, "inout"}};
constexpr Named<InterfaceKind> kKindNames[] = {{InterfaceKind::Unknown, "IUnknown"},
                                               {InterfaceKind::Dispatch, "IDispatch"},
                                               {InterfaceKind::AppServer, "IAppServer"},
                                               {InterfaceKind::Orvala, "IOrvala"}};
constexpr Named<ResultType> kResultNames[] = {{ResultType::None, ""},
                                              {ResultType::MethodResult, "HRESULT"},
                                              {ResultType::Variant, "VARIANT"}};

template <typename Enum, size_t N>
const char* NameOf(const Named<Enum> (&table)[N], Enum value) {
  for (const Named<Enum>& n : table) {
    if (n.value == value) return n.name;
  }
  return "?";
}

template <typename Enum, size_t N>
std::optional<Enum> ValueOf(const Named<Enum> (&table)[N], std::string_view name) {
  for (const Named<Enum>& n : table) {
    if (name == n.name) return n.value;
  }
  return std::nullopt;
}

}  // namespace

const char* ArgTypeName(ArgType type) { return NameOf(kArgTypeNames, type); }
const char* ArgDirectionName(ArgDirection direction) { return NameOf(kDirectionNames, direction); }
const char* InterfaceKindName(InterfaceKind kind) { return NameOf(kKindNames, kind); }
const char* ResultTypeName(ResultType type) { return NameOf(kResultNames, type); }
std::optional<ArgType> ArgTypeByName(std::string_view name) { return ValueOf(kArgTypeNames, name); }
std::optional<ArgDirection> ArgDirectionByName(std::string_view name) {
  return ValueOf(kDirectionNames, name);
}
std::optional<InterfaceKind> InterfaceKindByName(std::string_view name) {
  return ValueOf(kKindNames, name);
}
std::optional<ResultType> ResultTypeByName(std::string_view name) {
  return ValueOf(kResultNames, name);
}

TypeLibraryDescription DescribeTypeLibraryAsData() {
  const LibraryInfo& lib = Library();
  TypeLibraryDescription d;
  d.name = lib.name;
  d.help_string = lib.help_string;
  d.libid = lib.libid.ToString();
  d.major = lib.major;
  d.minor = lib.minor;
  d.lcid = lib.lcid;
  d.interface_name = lib.interface_name;
  d.interface_help = lib.interface_help;
  d.iid = lib.iid.ToString();
  d.base_name = "IAppServer";
  d.base_iid = lib.base_iid.ToString();
  d.class_name = lib.class_name;
  d.class_help = lib.class_help;
  d.clsid = lib.clsid.ToString();
  d.prog_id = lib.prog_id;
  for (const MethodDef& m : kMethods) {
    if (!Callable(m)) continue;
    EntryDescription e;
    e.slot = m.slot;
    e.dispid = m.dispid;
    e.name = m.name;
    e.kind = m.kind;
    for (const ArgDef& a : m.args) e.args.push_back({a.name, a.direction, a.type});
    e.result = m.result;
    if (m.result_name) e.result_name = m.result_name;
    d.entries.push_back(std::move(e));
  }
  return d;
}

std::string DescribeTypeLibrary() {
  const LibraryInfo& lib = Library();
  std::ostringstream out;
  out << "library " << lib.name << " " << lib.libid.ToString() << " version " << lib.major << "."
      << lib.minor << " lcid " << lib.lcid << " \"" << lib.help_string << "\"\n";
  out << "interface " << lib.interface_name << " " << lib.iid.ToString() << " : IAppServer "
      << lib.base_iid.ToString() << " [dual, oleautomation] \"" << lib.interface_help << "\"\n";
  for (const MethodDef& m : kMethods) {
    if (!Callable(m)) continue;
    out << "  [slot " << m.slot << ", id " << m.dispid << "] " << m.name << "(";
    for (size_t i = 0; i < m.args.size(); ++i) {
      const ArgDef& a = m.args[i];
      out << (i ? ", " : "")
          << (a.direction == ArgDirection::In ? "in " : a.direction == ArgDirection::Out ? "out " : "in out ")
          << ArgTypeName(a.type) << " " << a.name;
    }
    if (m.result != ResultType::None) {
      out << (m.args.empty() ? "" : ", ") << "out retval "
          << (m.result == ResultType::MethodResult ? "HRESULT " : "VARIANT ") << m.result_name;
    }
    out << ")\n";
  }
  out << "coclass " << lib.class_name << " " << lib.clsid.ToString() << " \"" << lib.class_help
      << "\" progid " << lib.prog_id << "\n";
  return out.str();
}

}  // namespace orvala::server
