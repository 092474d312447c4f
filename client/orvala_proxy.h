// The remote object as a C++ class: the seven provider operations and the
// 31 methods of IOrvala as typed member functions, over any ObjectChannel
// (the object in process, or a connection to a server).
//
// Every call returns its status, as a remote call does. On a failure status
// the error information of the call is kept and can be read back with
// last_error(); out arguments and the result are then left as they were.
// On success the out arguments are written, and the logical result is
// written only when the method wrote it: a gated method refused because
// nobody is signed in leaves the caller's `result` untouched.
//
// A proxy is used by one thread at a time, like the channel it wraps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "common/variant.h"
#include "server/call.h"
#include "server/object_channel.h"

namespace orvala::client {

class OrvalaProxy {
 public:
  explicit OrvalaProxy(server::ObjectChannel& channel) : channel_(channel) {}

  // The error information of the last call that failed; cleared by every
  // call that succeeds.
  const std::optional<server::ErrorInfo>& last_error() const { return last_error_; }

  // Late binding: calls by dispatch identifier with every argument in
  // interface order (out arguments as slots that come back written).
  HResult Invoke(int32_t dispid, std::vector<Variant>& args, std::optional<Variant>& result);
  // The dispatch identifier of a method name, then the indexes of its
  // argument names; DISP_E_UNKNOWNNAME when any name is unknown (its id
  // is then -1). Names are compared without regard to case.
  HResult IdsOfNames(const std::vector<std::u16string>& names, std::vector<int32_t>& ids) const;

  // The provider operations.
  HResult AS_ApplyUpdates(const std::u16string& provider_name, const Variant& delta,
                          int32_t max_errors, int32_t& error_count, Variant& owner_data,
                          Variant& result);
  HResult AS_GetRecords(const std::u16string& provider_name, int32_t count, int32_t& recs_out,
                        int32_t options, const std::u16string& command_text, Variant& params,
                        Variant& owner_data, Variant& result);
  HResult AS_DataRequest(const std::u16string& provider_name, const Variant& data,
                         Variant& result);
  HResult AS_GetProviderNames(Variant& result);
  HResult AS_GetParams(const std::u16string& provider_name, Variant& owner_data, Variant& result);
  HResult AS_RowRequest(const std::u16string& provider_name, const Variant& row,
                        int32_t request_type, Variant& owner_data, Variant& result);
  HResult AS_Execute(const std::u16string& provider_name, const std::u16string& command_text,
                     Variant& params, Variant& owner_data);

  // The methods of IOrvala, in interface order. `result` is the method
  // result (0 success or yes, 1 failure or no) or the logical variant.
  HResult Login(const std::u16string& user_name, const std::u16string& password, int32_t anno,
                const std::u16string& id_ditta, Variant& id_utenti, int32_t& result);
  HResult Logoff(const std::u16string& user_name, int32_t& result);
  HResult ScriviLOG(int32_t tipo, const std::u16string& app_message,
                    const std::u16string& a_class_name, const std::u16string& app_name,
                    const std::u16string& a_form_name, const std::u16string& user_name,
                    int32_t& result);
  HResult CanDo(int32_t id_utenti, const std::u16string& id_funzioni, int32_t& result);
  HResult OpenDB();
  HResult ExecSQL(const std::u16string& sql, int32_t& result);
  HResult CheckNumRegistrazione(const std::u16string& id_ditte, int32_t id_anno,
                                int32_t num_registrazione, Variant& last_registrazione,
                                int32_t codcau, int32_t tipopiano, int32_t& result);
  HResult setQuery(const std::u16string& sql, int32_t to_select, int32_t& result);
  HResult UpdatePianoProgressivo(const std::u16string& id_ditte, int32_t id_anno,
                                 int32_t tipoconto, int32_t mastro, int32_t conto,
                                 int32_t sottoconto, int32_t dettaglio, double importo,
                                 const std::u16string& tipo);
  HResult UpdateIVAProgressivo(const std::u16string& id_ditte, int32_t id_anno, int32_t meserif,
                               int32_t registro, int32_t id_tab_iso,
                               const std::u16string& codice_iva, double imponibile, double iva);
  HResult CheckNumDocumento(const std::u16string& id_ditte, int32_t id_anno, int32_t numero,
                            Variant& last_documento, int32_t confronto, int32_t& result);
  HResult DeleteRegistrazione(const std::u16string& id_ditte, int32_t id_anno, int32_t numreg);
  HResult UpdateHeader(const std::u16string& id_ditte, int32_t id_anno,
                       int32_t num_registrazione, int32_t codcausale, int32_t tipopiano,
                       int32_t mastro, int32_t conto, int32_t sottoconto, int32_t dettaglio,
                       double importo, const Variant& data_scadenza, int32_t protocollo,
                       int32_t numero_documento, const std::u16string& sigla_documento,
                       const Variant& data_documento, int32_t numero_partita,
                       const Variant& riferimento_iva, const Variant& competenza,
                       int32_t cond_pagamento, int32_t valuta, const Variant& data_valuta,
                       double cambio);
  HResult AddProvider(const std::u16string& provider_name, const std::u16string& sql,
                      int32_t& result);
  HResult AddParameter(const std::u16string& param_name, const Variant& param_value,
                       const std::u16string& provider_name, int32_t& result);
  HResult DestroyProvider(const std::u16string& provider_name, int32_t& result);
  HResult ClearPrimaNota();
  HResult isLocked(const std::u16string& id_ditte, int32_t id_anno, int32_t num_registrazione,
                   int32_t& result);
  HResult ExistingDocumento(const std::u16string& id_ditte, int32_t id_anno,
                            int32_t num_documento, int32_t registro, int32_t mastro,
                            int32_t conto, int32_t sottoconto, Variant& esistente,
                            int32_t& result);
  HResult CanDeleteCliente(int32_t id_clienti, int32_t& result);
  HResult CheckClientiCF(const std::u16string& cf, int32_t& result);
  HResult AddMasterProvider(const std::u16string& provider_name, const std::u16string& sql,
                            const std::u16string& data_source_name, int32_t& result);
  HResult DestroyMasterProvider(const std::u16string& provider_name,
                                const std::u16string& data_source, int32_t& result);
  HResult AddDetailProvider(const std::u16string& provider_name, const std::u16string& sql,
                            const std::u16string& master_data_source, int32_t& result);
  HResult CanDeleteClienteDitta(int32_t id_clienti, int32_t& result);
  HResult CanDeleteFornitori(int32_t id_fornitori, int32_t& result);
  HResult CheckFornitoriCF(const std::u16string& cf, int32_t& result);
  HResult Next_Sottoconto_Cliente(const std::u16string& ditta, int32_t mastro, int32_t conto,
                                  Variant& result);
  HResult Next_Sottoconto_Fornitore(const std::u16string& ditta, int32_t mastro, int32_t conto,
                                    Variant& result);
  HResult GetSession(Variant& session_number, int32_t& result);
  HResult updateIVATERProgressivo(const std::u16string& id_ditte, int32_t id_anno,
                                  int32_t meserif, int32_t registro, int32_t id_tab_iso,
                                  int32_t id_tipo_viaggio, const std::u16string& codice_iva,
                                  double imponibile, double iva);

 private:
  // Runs a method by name; on failure keeps the error information.
  server::CallOutcome Run(std::string_view method, std::vector<Variant>& args);
  // The status of a call whose logical result is the 0/1 method result or
  // a variant; `result` is written only when the method wrote it.
  HResult Finish(const server::CallOutcome& outcome, int32_t& result);
  // The result is moved out of the outcome: a fetch's packet can be large.
  HResult Finish(server::CallOutcome&& outcome, Variant& result);

  server::ObjectChannel& channel_;
  std::optional<server::ErrorInfo> last_error_;
};

}  // namespace orvala::client
