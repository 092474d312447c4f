#include "client/orvala_proxy.h"

#include "common/codepage.h"
#include "common/error.h"
#include "common/utf8.h"
#include "server/type_library.h"

namespace orvala::client {
namespace {

Variant S(const std::u16string& text) { return Variant::BStr(text); }
Variant I(int32_t n) { return Variant::I4(n); }
Variant R(double x) { return Variant::R8(x); }
Variant Slot() { return Variant(); }

// Out and in-out arguments come back only from a call that succeeded.
void TakeOut(const server::CallOutcome& outcome, Variant& from, Variant& to) {
  if (Succeeded(outcome.status)) to = std::move(from);
}

void TakeOut(const server::CallOutcome& outcome, const Variant& from, int32_t& to) {
  if (Succeeded(outcome.status)) to = from.ToInt32();
}

}  // namespace

server::CallOutcome OrvalaProxy::Run(std::string_view name, std::vector<Variant>& args) {
  const server::MethodDef* method = server::MethodByName(name);
  if (!method) throw Error("The interface has no method " + std::string(name));
  server::CallOutcome outcome = channel_.Invoke(*method, args);
  if (Failed(outcome.status)) {
    last_error_ = outcome.error ? outcome.error : server::ErrorInfo{};
  } else {
    last_error_.reset();
  }
  return outcome;
}

HResult OrvalaProxy::Finish(const server::CallOutcome& outcome, int32_t& result) {
  if (Succeeded(outcome.status) && outcome.result) result = outcome.result->ToInt32();
  return outcome.status;
}

HResult OrvalaProxy::Finish(server::CallOutcome&& outcome, Variant& result) {
  if (Succeeded(outcome.status) && outcome.result) result = std::move(*outcome.result);
  return outcome.status;
}

HResult OrvalaProxy::Invoke(int32_t dispid, std::vector<Variant>& args,
                            std::optional<Variant>& result) {
  const server::MethodDef* method = server::MethodByDispid(dispid);
  if (!method) return DISP_E_MEMBERNOTFOUND;
  server::CallOutcome outcome = channel_.Invoke(*method, args);
  if (Failed(outcome.status)) {
    last_error_ = outcome.error ? outcome.error : server::ErrorInfo{};
  } else {
    last_error_.reset();
    result = std::move(outcome.result);
  }
  return outcome.status;
}

HResult OrvalaProxy::IdsOfNames(const std::vector<std::u16string>& names,
                                std::vector<int32_t>& ids) const {
  ids.assign(names.size(), -1);
  if (names.empty()) return E_INVALIDARG;
  const server::MethodDef* method = server::MethodByName(ToUtf8(names[0]));
  if (!method) return DISP_E_UNKNOWNNAME;
  ids[0] = method->dispid;
  HResult status = S_OK;
  for (size_t i = 1; i < names.size(); ++i) {
    const std::optional<int> index = server::ArgIndexByName(*method, ToUtf8(names[i]));
    if (index) {
      ids[i] = *index;
    } else {
      status = DISP_E_UNKNOWNNAME;
    }
  }
  return status;
}

// ---- The provider operations ----------------------------------------------

HResult OrvalaProxy::AS_ApplyUpdates(const std::u16string& provider_name, const Variant& delta,
                                     int32_t max_errors, int32_t& error_count,
                                     Variant& owner_data, Variant& result) {
  std::vector<Variant> args{S(provider_name), delta, I(max_errors), Slot(), owner_data};
  server::CallOutcome outcome = Run("AS_ApplyUpdates", args);
  TakeOut(outcome, args[3], error_count);
  TakeOut(outcome, args[4], owner_data);
  return Finish(std::move(outcome), result);
}

HResult OrvalaProxy::AS_GetRecords(const std::u16string& provider_name, int32_t count,
                                   int32_t& recs_out, int32_t options,
                                   const std::u16string& command_text, Variant& params,
                                   Variant& owner_data, Variant& result) {
  std::vector<Variant> args{S(provider_name), I(count),   Slot(),    I(options),
                            S(command_text),  params,     owner_data};
  server::CallOutcome outcome = Run("AS_GetRecords", args);
  TakeOut(outcome, args[2], recs_out);
  TakeOut(outcome, args[5], params);
  TakeOut(outcome, args[6], owner_data);
  return Finish(std::move(outcome), result);
}

HResult OrvalaProxy::AS_DataRequest(const std::u16string& provider_name, const Variant& data,
                                    Variant& result) {
  std::vector<Variant> args{S(provider_name), data};
  return Finish(Run("AS_DataRequest", args), result);
}

HResult OrvalaProxy::AS_GetProviderNames(Variant& result) {
  std::vector<Variant> args;
  return Finish(Run("AS_GetProviderNames", args), result);
}

HResult OrvalaProxy::AS_GetParams(const std::u16string& provider_name, Variant& owner_data,
                                  Variant& result) {
  std::vector<Variant> args{S(provider_name), owner_data};
  server::CallOutcome outcome = Run("AS_GetParams", args);
  TakeOut(outcome, args[1], owner_data);
  return Finish(std::move(outcome), result);
}

HResult OrvalaProxy::AS_RowRequest(const std::u16string& provider_name, const Variant& row,
                                   int32_t request_type, Variant& owner_data, Variant& result) {
  std::vector<Variant> args{S(provider_name), row, I(request_type), owner_data};
  server::CallOutcome outcome = Run("AS_RowRequest", args);
  TakeOut(outcome, args[3], owner_data);
  return Finish(std::move(outcome), result);
}

HResult OrvalaProxy::AS_Execute(const std::u16string& provider_name,
                                const std::u16string& command_text, Variant& params,
                                Variant& owner_data) {
  std::vector<Variant> args{S(provider_name), S(command_text), params, owner_data};
  server::CallOutcome outcome = Run("AS_Execute", args);
  TakeOut(outcome, args[2], params);
  TakeOut(outcome, args[3], owner_data);
  return outcome.status;
}

// ---- The methods of IOrvala --------------------------------------------------

HResult OrvalaProxy::Login(const std::u16string& user_name, const std::u16string& password,
                           int32_t anno, const std::u16string& id_ditta, Variant& id_utenti,
                           int32_t& result) {
  std::vector<Variant> args{S(user_name), S(password), I(anno), S(id_ditta), Slot()};
  server::CallOutcome outcome = Run("Login", args);
  TakeOut(outcome, args[4], id_utenti);
  return Finish(std::move(outcome), result);
}

HResult OrvalaProxy::Logoff(const std::u16string& user_name, int32_t& result) {
  std::vector<Variant> args{S(user_name)};
  return Finish(Run("Logoff", args), result);
}

HResult OrvalaProxy::ScriviLOG(int32_t tipo, const std::u16string& app_message,
                               const std::u16string& a_class_name,
                               const std::u16string& app_name, const std::u16string& a_form_name,
                               const std::u16string& user_name, int32_t& result) {
  std::vector<Variant> args{I(tipo),      S(app_message), S(a_class_name),
                            S(app_name),  S(a_form_name), S(user_name)};
  return Finish(Run("ScriviLOG", args), result);
}

HResult OrvalaProxy::CanDo(int32_t id_utenti, const std::u16string& id_funzioni,
                           int32_t& result) {
  std::vector<Variant> args{I(id_utenti), S(id_funzioni)};
  return Finish(Run("CanDo", args), result);
}

HResult OrvalaProxy::OpenDB() {
  std::vector<Variant> args;
  return Run("OpenDB", args).status;
}

HResult OrvalaProxy::ExecSQL(const std::u16string& sql, int32_t& result) {
  std::vector<Variant> args{S(sql)};
  return Finish(Run("ExecSQL", args), result);
}

HResult OrvalaProxy::CheckNumRegistrazione(const std::u16string& id_ditte, int32_t id_anno,
                                           int32_t num_registrazione,
                                           Variant& last_registrazione, int32_t codcau,
                                           int32_t tipopiano, int32_t& result) {
  std::vector<Variant> args{S(id_ditte), I(id_anno), I(num_registrazione),
                            Slot(),      I(codcau),  I(tipopiano)};
  server::CallOutcome outcome = Run("CheckNumRegistrazione", args);
  TakeOut(outcome, args[3], last_registrazione);
  return Finish(std::move(outcome), result);
}

HResult OrvalaProxy::setQuery(const std::u16string& sql, int32_t to_select, int32_t& result) {
  std::vector<Variant> args{S(sql), I(to_select)};
  return Finish(Run("setQuery", args), result);
}

HResult OrvalaProxy::UpdatePianoProgressivo(const std::u16string& id_ditte, int32_t id_anno,
                                            int32_t tipoconto, int32_t mastro, int32_t conto,
                                            int32_t sottoconto, int32_t dettaglio,
                                            double importo, const std::u16string& tipo) {
  std::vector<Variant> args{S(id_ditte),   I(id_anno),    I(tipoconto),
                            I(mastro),     I(conto),      I(sottoconto),
                            I(dettaglio),  R(importo),    S(tipo)};
  return Run("UpdatePianoProgressivo", args).status;
}

HResult OrvalaProxy::UpdateIVAProgressivo(const std::u16string& id_ditte, int32_t id_anno,
                                          int32_t meserif, int32_t registro,
                                          int32_t id_tab_iso, const std::u16string& codice_iva,
                                          double imponibile, double iva) {
  std::vector<Variant> args{S(id_ditte),     I(id_anno),      I(meserif), I(registro),
                            I(id_tab_iso),   S(codice_iva),   R(imponibile), R(iva)};
  return Run("UpdateIVAProgressivo", args).status;
}

HResult OrvalaProxy::CheckNumDocumento(const std::u16string& id_ditte, int32_t id_anno,
                                       int32_t numero, Variant& last_documento,
                                       int32_t confronto, int32_t& result) {
  std::vector<Variant> args{S(id_ditte), I(id_anno), I(numero), Slot(), I(confronto)};
  server::CallOutcome outcome = Run("CheckNumDocumento", args);
  TakeOut(outcome, args[3], last_documento);
  return Finish(std::move(outcome), result);
}

HResult OrvalaProxy::DeleteRegistrazione(const std::u16string& id_ditte, int32_t id_anno,
                                         int32_t numreg) {
  std::vector<Variant> args{S(id_ditte), I(id_anno), I(numreg)};
  return Run("DeleteRegistrazione", args).status;
}

HResult OrvalaProxy::UpdateHeader(
    const std::u16string& id_ditte, int32_t id_anno, int32_t num_registrazione,
    int32_t codcausale, int32_t tipopiano, int32_t mastro, int32_t conto, int32_t sottoconto,
    int32_t dettaglio, double importo, const Variant& data_scadenza, int32_t protocollo,
    int32_t numero_documento, const std::u16string& sigla_documento,
    const Variant& data_documento, int32_t numero_partita, const Variant& riferimento_iva,
    const Variant& competenza, int32_t cond_pagamento, int32_t valuta, const Variant& data_valuta,
    double cambio) {
  std::vector<Variant> args{S(id_ditte),         I(id_anno),        I(num_registrazione),
                            I(codcausale),       I(tipopiano),      I(mastro),
                            I(conto),            I(sottoconto),     I(dettaglio),
                            R(importo),          data_scadenza,     I(protocollo),
                            I(numero_documento), S(sigla_documento), data_documento,
                            I(numero_partita),   riferimento_iva,   competenza,
                            I(cond_pagamento),   I(valuta),         data_valuta,
                            R(cambio)};
  return Run("UpdateHeader", args).status;
}

HResult OrvalaProxy::AddProvider(const std::u16string& provider_name, const std::u16string& sql,
                                 int32_t& result) {
  std::vector<Variant> args{S(provider_name), S(sql)};
  return Finish(Run("AddProvider", args), result);
}

HResult OrvalaProxy::AddParameter(const std::u16string& param_name, const Variant& param_value,
                                  const std::u16string& provider_name, int32_t& result) {
  std::vector<Variant> args{S(param_name), param_value, S(provider_name)};
  return Finish(Run("AddParameter", args), result);
}

HResult OrvalaProxy::DestroyProvider(const std::u16string& provider_name, int32_t& result) {
  std::vector<Variant> args{S(provider_name)};
  return Finish(Run("DestroyProvider", args), result);
}

HResult OrvalaProxy::ClearPrimaNota() {
  std::vector<Variant> args;
  return Run("ClearPrimaNota", args).status;
}

HResult OrvalaProxy::isLocked(const std::u16string& id_ditte, int32_t id_anno,
                              int32_t num_registrazione, int32_t& result) {
  std::vector<Variant> args{S(id_ditte), I(id_anno), I(num_registrazione)};
  return Finish(Run("isLocked", args), result);
}

HResult OrvalaProxy::ExistingDocumento(const std::u16string& id_ditte, int32_t id_anno,
                                       int32_t num_documento, int32_t registro, int32_t mastro,
                                       int32_t conto, int32_t sottoconto, Variant& esistente,
                                       int32_t& result) {
  std::vector<Variant> args{S(id_ditte), I(id_anno), I(num_documento), I(registro),
                            I(mastro),   I(conto),   I(sottoconto),    Slot()};
  server::CallOutcome outcome = Run("ExistingDocumento", args);
  TakeOut(outcome, args[7], esistente);
  return Finish(std::move(outcome), result);
}

HResult OrvalaProxy::CanDeleteCliente(int32_t id_clienti, int32_t& result) {
  std::vector<Variant> args{I(id_clienti)};
  return Finish(Run("CanDeleteCliente", args), result);
}

HResult OrvalaProxy::CheckClientiCF(const std::u16string& cf, int32_t& result) {
  std::vector<Variant> args{S(cf)};
  return Finish(Run("CheckClientiCF", args), result);
}

HResult OrvalaProxy::AddMasterProvider(const std::u16string& provider_name,
                                       const std::u16string& sql,
                                       const std::u16string& data_source_name, int32_t& result) {
  std::vector<Variant> args{S(provider_name), S(sql), S(data_source_name)};
  return Finish(Run("AddMasterProvider", args), result);
}

HResult OrvalaProxy::DestroyMasterProvider(const std::u16string& provider_name,
                                           const std::u16string& data_source, int32_t& result) {
  std::vector<Variant> args{S(provider_name), S(data_source)};
  return Finish(Run("DestroyMasterProvider", args), result);
}

HResult OrvalaProxy::AddDetailProvider(const std::u16string& provider_name,
                                       const std::u16string& sql,
                                       const std::u16string& master_data_source,
                                       int32_t& result) {
  std::vector<Variant> args{S(provider_name), S(sql), S(master_data_source)};
  return Finish(Run("AddDetailProvider", args), result);
}

HResult OrvalaProxy::CanDeleteClienteDitta(int32_t id_clienti, int32_t& result) {
  std::vector<Variant> args{I(id_clienti)};
  return Finish(Run("CanDeleteClienteDitta", args), result);
}

HResult OrvalaProxy::CanDeleteFornitori(int32_t id_fornitori, int32_t& result) {
  std::vector<Variant> args{I(id_fornitori)};
  return Finish(Run("CanDeleteFornitori", args), result);
}

HResult OrvalaProxy::CheckFornitoriCF(const std::u16string& cf, int32_t& result) {
  std::vector<Variant> args{S(cf)};
  return Finish(Run("CheckFornitoriCF", args), result);
}

HResult OrvalaProxy::Next_Sottoconto_Cliente(const std::u16string& ditta, int32_t mastro,
                                             int32_t conto, Variant& result) {
  std::vector<Variant> args{S(ditta), I(mastro), I(conto)};
  return Finish(Run("Next_Sottoconto_Cliente", args), result);
}

HResult OrvalaProxy::Next_Sottoconto_Fornitore(const std::u16string& ditta, int32_t mastro,
                                               int32_t conto, Variant& result) {
  std::vector<Variant> args{S(ditta), I(mastro), I(conto)};
  return Finish(Run("Next_Sottoconto_Fornitore", args), result);
}

HResult OrvalaProxy::GetSession(Variant& session_number, int32_t& result) {
  std::vector<Variant> args{Slot()};
  server::CallOutcome outcome = Run("GetSession", args);
  TakeOut(outcome, args[0], session_number);
  return Finish(std::move(outcome), result);
}

HResult OrvalaProxy::updateIVATERProgressivo(const std::u16string& id_ditte, int32_t id_anno,
                                             int32_t meserif, int32_t registro,
                                             int32_t id_tab_iso, int32_t id_tipo_viaggio,
                                             const std::u16string& codice_iva,
                                             double imponibile, double iva) {
  std::vector<Variant> args{S(id_ditte),      I(id_anno),          I(meserif),
                            I(registro),      I(id_tab_iso),       I(id_tipo_viaggio),
                            S(codice_iva),    R(imponibile),       R(iva)};
  return Run("updateIVATERProgressivo", args).status;
}

}  // namespace orvala::client
