#include "server/accounting_services.h"

#include <array>
#include <cmath>
#include <exception>
#include <limits>
#include <optional>
#include <utility>
#include <variant>

#include "common/datetime.h"
#include "common/error.h"
#include "common/value.h"
#include "driver/params.h"

namespace orvala::server {
namespace {

// What a method makes of the column that its routine answers.
enum class Answer {
  None,             // an executable routine: nothing is read back
  MatchesArgument,  // 0 when the column equals the `compared` argument, else 1
  RoutineRan,       // 0; the answer itself travels in the out variant
  ZeroWhenOne,      // 0 when the column is 1, else 1
  ZeroWhenNotZero,  // 0 when the column is not 0, else 1
  Number,           // the column, as the method's returned variant
};

// One parameter of a routine call and the argument that fills it. The
// argument is named as the interface names it (letter case aside); the
// parameter's kind follows from the argument's type: text converted to the
// system code page, an integer, a double, or a date variant.
struct Binding {
  const char* parameter;
  const char* argument = nullptr;  // nullptr: the argument of the same name
};

struct RoutineCallDef {
  const char* method;
  const char* component;
  // A selectable routine is opened as this SELECT; an executable one (no
  // column) is executed by name with its parameters in declaration order.
  const char* routine;
  std::span<const Binding> bindings;  // in binding order
  const char* column;                 // nullptr for an executable routine
  bool listed;      // the column is a listed integer field, checked on open
  const char* out;  // the out variant that takes the column, or nullptr
  Answer answer;
  const char* compared = nullptr;  // for MatchesArgument
};

constexpr Binding kCheckNumRegistrazione[] = {
    {"ID_DITTE"}, {"ID_ANNO"}, {"NUM_REGISTRAZIONE"}, {"CODCAU"}, {"TIPOPIANO"}};
constexpr Binding kCheckNumDocumento[] = {{"ID_DITTE"}, {"ID_ANNO"}, {"CONFRONTO"}, {"NUMERO"}};
constexpr Binding kExistingDocumento[] = {{"ID_DITTE"}, {"ID_ANNO"}, {"NUM_DOCUMENTO"},
                                          {"REGISTRO"}, {"MASTRO"},  {"CONTO"},
                                          {"SOTTOCONTO"}};
constexpr Binding kIsLocked[] = {{"ID_DITTE"}, {"ID_ANNO"}, {"NUMREG", "NUM_REGISTRAZIONE"}};
constexpr Binding kPianoProgressivi[] = {{"ID_DITTE"}, {"ID_ANNO"},     {"TIPOCONTO"},
                                         {"MASTRO"},   {"CONTO"},       {"SOTTOCONTO"},
                                         {"DETTAGLIO"}, {"IMPORTO"},    {"TIPO", "Tipo"}};
constexpr Binding kIvaProgressivi[] = {{"ID_DITTE"},   {"ID_ANNO"},    {"MESERIF"},
                                       {"REGISTRO"},   {"ID_TAB_ISO"}, {"CODICE_IVA"},
                                       {"IMPONIBILE"}, {"IVA"}};
constexpr Binding kIvaTerProgressivi[] = {{"ID_DITTE"},        {"ID_ANNO"},    {"MESERIF"},
                                          {"REGISTRO"},        {"ID_TAB_ISO"}, {"ID_TIPO_VIAGGIO"},
                                          {"CODICE_IVA"},      {"IMPONIBILE"}, {"IVA"}};
constexpr Binding kAggiornaHeader[] = {
    {"ID_DITTE"},        {"ID_ANNO"},          {"NUM_REGISTRAZIONE"},
    {"CODCAU", "CODCAUSALE"},                  {"TIPOPIANO"},
    {"MASTRO"},          {"CONTO"},            {"SOTTOCONTO"},
    {"DETTAGLIO"},       {"IMPORTO"},          {"DATA_SCADENZA"},
    {"PROTOCOLLO"},      {"NUMERO_DOCUMENTO"}, {"SIGLA_DOCUMENTO"},
    {"DATA_DOCUMENTO"},  {"NUMERO_PARTITA"},   {"RIFERIMENTO_IVA"},
    {"COMPETENZA"},      {"CONDPAG", "COND_PAGAMENTO"},
    {"VALUTA"},          {"DATA_VALUTA"},      {"CAMBIO"}};
constexpr Binding kDeleteRegistrazione[] = {{"ID_DITTE"}, {"ID_ANNO"}, {"NUMREG"}};
constexpr Binding kIdClienti[] = {{"ID_CLIENTI"}};
constexpr Binding kIdFornitori[] = {{"ID_FORNITORI"}};
constexpr Binding kCf[] = {{"CF"}};
// The company comes first in the interface but last in the routine.
constexpr Binding kNextSottoconto[] = {{"MASTRO"}, {"CONTO"}, {"ID_DITTE", "DITTA"}};

using A = Answer;

constexpr RoutineCallDef kRoutineCalls[] = {
    {"CheckNumRegistrazione", "spCheckNumRegistrazione",
     "select * from check_numero_registrazione(:id_ditte,:id_anno,:num_registrazione,:codcau,"
     ":tipopiano)",
     kCheckNumRegistrazione, "LAST_REGISTRAZIONE", true, "LAST_REGISTRAZIONE",
     A::MatchesArgument, "NUM_REGISTRAZIONE"},
    {"CheckNumDocumento", "spCheckNumDocumento",
     "SELECT * FROM AGGIORNA_CONTATORE_DOCUMENTI(:ID_DITTE,:ID_ANNO,:NUMERO,:CONFRONTO)",
     kCheckNumDocumento, "LAST_CONTATORE", true, "LAST_DOCUMENTO", A::RoutineRan},
    {"ExistingDocumento", "spExistingDocumento",
     "SELECT * FROM CHECK_NUMERO_DOCUMENTO(:ID_DITTE,:ID_ANNO,:NUM_DOCUMENTO,:REGISTRO,:MASTRO,"
     ":CONTO,:SOTTOCONTO)",
     kExistingDocumento, "ESISTENTE", true, "ESISTENTE", A::RoutineRan},
    // LOCKED is looked up among whatever columns the routine returns.
    {"isLocked", "spIsLocked", "Select * from isLocked(:ID_DITTE, :ID_ANNO,:NUMREG)", kIsLocked,
     "LOCKED", false, nullptr, A::ZeroWhenOne},

    {"UpdatePianoProgressivo", "spUpdatePianoProgressivi", "AGGIORNA_PROGRESSIVI_PIANO",
     kPianoProgressivi, nullptr, false, nullptr, A::None},
    {"UpdateIVAProgressivo", "spUpdateIVAProgressivi", "AGGIORNA_PROGRESSIVI_IVA",
     kIvaProgressivi, nullptr, false, nullptr, A::None},
    {"updateIVATERProgressivo", "spUpdateIVATERProgressivi", "AGGIORNA_IVA_TER",
     kIvaTerProgressivi, nullptr, false, nullptr, A::None},

    {"UpdateHeader", "spAggiornaHeader", "AGGIORNA_HEADER", kAggiornaHeader, nullptr, false,
     nullptr, A::None},
    {"DeleteRegistrazione", "spDeleteRegistrazione", "DELETE_REGISTRAZIONE",
     kDeleteRegistrazione, nullptr, false, nullptr, A::None},
    {"ClearPrimaNota", "spClearPrimaNota", "CLEAR_PRIMA_NOTA", {}, nullptr, false, nullptr,
     A::None},

    {"CanDeleteCliente", "spCanDeleteClienti", "Select * from CAN_DELETE_CLIENTE(:ID_CLIENTI)",
     kIdClienti, "CANDELETE", true, nullptr, A::ZeroWhenNotZero},
    {"CanDeleteClienteDitta", "spCanDeleteClientiDitta",
     "Select * from CAN_DELETE_CLIENTEDITTA(:ID_CLIENTI)", kIdClienti, "CANDELETE", true, nullptr,
     A::ZeroWhenNotZero},
    {"CanDeleteFornitori", "spCanDeleteFornitori",
     "Select * from CAN_DELETE_FORNITORE(:ID_FORNITORI)", kIdFornitori, "CANDELETE", true,
     nullptr, A::ZeroWhenNotZero},
    {"CheckClientiCF", "spCheckClientiCF", "Select * from CHECK_CLIENTI_CF(:CF)", kCf,
     "PRESENTE", true, nullptr, A::ZeroWhenNotZero},
    {"CheckFornitoriCF", "spCheckFornitoriCF", "Select * from CHECK_FORNITORI_CF(:CF)", kCf,
     "PRESENTE", true, nullptr, A::ZeroWhenNotZero},
    {"Next_Sottoconto_Cliente", "spClientiNextSottoconto",
     "Select * from GET_CLIENTI_NEXT_SOTTOCONTO(:MASTRO, :CONTO, :ID_DITTE)", kNextSottoconto,
     "SOTTOCONTO", true, nullptr, A::Number},
    {"Next_Sottoconto_Fornitore", "spFornNextSottoconto",
     "Select * from GET_FORNITORI_NEXT_SOTTOCONTO(:MASTRO, :CONTO, :ID_DITTE)", kNextSottoconto,
     "SOTTOCONTO", true, nullptr, A::Number},
};

constexpr size_t kRoutineCallCount = std::size(kRoutineCalls);

bool Selectable(const RoutineCallDef& def) { return def.column != nullptr; }

// An executable routine gets its parameters by position, so the statement
// lists them in the routine's own order of declaration, which is the
// binding order of the table.
std::string ExecuteStatement(const RoutineCallDef& def) {
  std::string sql = std::string("EXECUTE PROCEDURE ") + def.routine;
  for (size_t i = 0; i < def.bindings.size(); ++i) {
    sql += (i == 0 ? "(:" : ", :");
    sql += def.bindings[i].parameter;
  }
  if (!def.bindings.empty()) sql += ")";
  return sql;
}

// A date argument: no value (NULL) when Empty or Null; a date from an
// automation date or a double; any other kind cannot become a date.
std::optional<Timestamp> DateArgument(const Variant& v) {
  if (v.is_empty_or_null()) return std::nullopt;
  double date = 0;
  switch (v.type()) {
    case VarType::Date: date = v.date().value; break;
    case VarType::R8: date = v.r8(); break;
    default:
      throw Error(std::string("Could not convert variant of type (") + VarTypeName(v.type()) +
                  ") into type (Date)");
  }
  return FromAutomationDate(date);
}

void Bind(const RoutineCallDef& def, driver::ParamList& params, const Call& call) {
  for (const Binding& binding : def.bindings) {
    const std::string_view argument = binding.argument ? binding.argument : binding.parameter;
    switch (call.declared(argument).type) {
      case ArgType::BStr: params.SetByName(binding.parameter, call.text(argument)); break;
      case ArgType::I4: params.SetByName(binding.parameter, call.i4(argument)); break;
      case ArgType::R8: params.SetByName(binding.parameter, call.r8(argument)); break;
      case ArgType::Variant:
        if (const std::optional<Timestamp> date = DateArgument(call.var(argument))) {
          params.SetByName(binding.parameter, *date);
        } else {
          params.ByName(binding.parameter).SetNull(FieldType::Timestamp);
        }
        break;
    }
  }
}

// The column of the first row; NULL when the routine answered no row. A
// missing column fails even without a row, as it is a fault of the routine.
Value FirstRowColumn(driver::Query& query, const char* column) {
  const int index = query.FieldIndex(column);
  if (index < 0) throw Error(query.name() + ": " + Format("Field '%s' not found", column));
  const FieldInfo& field = query.fields()[static_cast<size_t>(index)];
  const bool integer = field.type == FieldType::SmallInt || field.type == FieldType::Integer ||
                       (field.type == FieldType::BigInt && field.scale == 0);
  if (!integer) {
    throw Error(query.name() + ": Field '" + column + "' is not an integer but " +
                FieldTypeName(field.type));
  }
  if (!query.Next()) return Value{};
  return query.row()[static_cast<size_t>(index)];
}

// NULL reads as 0. FirstRowColumn has already refused other kinds.
int32_t AsInteger(const Value& v) {
  if (const auto* i = std::get_if<int32_t>(&v)) return *i;
  if (const auto* s = std::get_if<int16_t>(&v)) return *s;
  if (const auto* l = std::get_if<int64_t>(&v)) {
    if (*l < std::numeric_limits<int32_t>::min() || *l > std::numeric_limits<int32_t>::max()) {
      throw Error(std::to_string(*l) + " is not a valid integer value");
    }
    return static_cast<int32_t>(*l);
  }
  if (IsNull(v)) return 0;
  throw Error("Value is not an integer");
}

// NULL reads as a null variant.
Variant AsVariant(const Value& v) { return IsNull(v) ? Variant::Null() : Variant::I4(AsInteger(v)); }

// A failed routine would otherwise keep its cursor, and with it its
// transaction, open until the next call of the same method.
class CloseOnFailure {
 public:
  explicit CloseOnFailure(driver::Query& query) : query_(query) {}
  ~CloseOnFailure() {
    if (std::uncaught_exceptions() == exceptions_) return;
    try {
      query_.Close();
    } catch (...) {  // the error already on its way is the one to report
    }
  }
  CloseOnFailure(const CloseOnFailure&) = delete;
  CloseOnFailure& operator=(const CloseOnFailure&) = delete;

 private:
  driver::Query& query_;
  const int exceptions_ = std::uncaught_exceptions();
};

void RunRoutine(const RoutineCallDef& def, driver::Query& query, Call& call) {
  if (!Selectable(def)) {
    Bind(def, query.params(), call);
    query.Execute();
    return;
  }
  // Closing first also discards a cursor that an earlier failure left open,
  // which Open would otherwise take as already answered.
  query.Close();
  CloseOnFailure guard(query);
  Bind(def, query.params(), call);
  query.Open();
  const Value column = FirstRowColumn(query, def.column);
  if (def.out) call.out(def.out) = AsVariant(column);
  const int32_t number = AsInteger(column);
  switch (def.answer) {
    case Answer::None: break;
    case Answer::MatchesArgument:
      call.set_result(call.i4(def.compared) == number ? 0 : 1);
      break;
    case Answer::RoutineRan: call.set_result(0); break;
    case Answer::ZeroWhenOne: call.set_result(number == 1 ? 0 : 1); break;
    case Answer::ZeroWhenNotZero: call.set_result(number != 0 ? 0 : 1); break;
    case Answer::Number: call.set_result(Variant::I4(number)); break;
  }
  query.Close();
}

}  // namespace

AccountingServices::AccountingServices(driver::Connection& connection) {
  for (const RoutineCallDef& def : kRoutineCalls) {
    auto query = std::make_unique<driver::Query>(def.component);
    query->SetConnection(&connection);
    query->SetSql({Selectable(def) ? std::string(def.routine) : ExecuteStatement(def)});
    if (def.listed) query->SetListedFields({{def.column, FieldType::Integer, 0, false}});
    routine_calls_.push_back(std::move(query));
  }
}

AccountingServices::~AccountingServices() = default;

void AccountingServices::Run(Call& call) {
  for (size_t i = 0; i < kRoutineCallCount; ++i) {
    if (std::string_view(kRoutineCalls[i].method) == call.method().name) {
      RunRoutine(kRoutineCalls[i], *routine_calls_[i], call);
      return;
    }
  }
  throw Error(Format("No routine for the method %s", call.method().name));
}

bool AccountingServices::Answers(std::string_view method_name) {
  for (size_t i = 0; i < kRoutineCallCount; ++i) {
    if (kRoutineCalls[i].method == method_name) return true;
  }
  return false;
}

std::vector<std::string> AccountingServices::ComponentNames() const {
  std::vector<std::string> names;
  for (const auto& q : routine_calls_) names.push_back(q->name());
  return names;
}

driver::Query* AccountingServices::RoutineCall(std::string_view name) const {
  for (const auto& q : routine_calls_) {
    if (q->name() == name) return q.get();
  }
  return nullptr;
}

}  // namespace orvala::server
