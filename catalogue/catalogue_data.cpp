#include "catalogue/catalogue_data.h"

namespace orvala::catalogue {
namespace {

constexpr bool kRequired = true;

constexpr FieldDef Int(const char* name, bool required = false) {
  return {name, FieldKind::Integer, 0, required};
}
constexpr FieldDef Flt(const char* name, bool required = false) {
  return {name, FieldKind::Float, 0, required};
}
constexpr FieldDef Str(const char* name, int size, bool required = false) {
  return {name, FieldKind::String, size, required};
}
constexpr FieldDef Ts(const char* name, bool required = false) {
  return {name, FieldKind::Timestamp, 0, required};
}

constexpr ParamDef IntParam(const char* name) { return {name, FieldKind::Integer}; }
constexpr ParamDef FltParam(const char* name) { return {name, FieldKind::Float}; }
constexpr ParamDef StrParam(const char* name) { return {name, FieldKind::String}; }

// ---------------------------------------------------------------------------
// Companies, fiscal years, municipalities, zones and banks

constexpr FieldDef kEserciziFields[] = {
    Int("ID_ANNO", kRequired), Ts("DATAINIZIO"),         Ts("DATAFINE"), Int("APERTO"),
    Str("DESCRIZIONE", 50),    Int("TIPO_ESERCIZIO", kRequired),
};

constexpr FieldDef kComuniFields[] = {
    Int("ID_TAB_COMUNI"), Str("NOME", 80, kRequired), Str("PROVINCIA", 2),
    Str("CAP", 5),        Str("CODFIS", 4),
};

constexpr FieldDef kTabZoneFields[] = {
    Int("ID_TAB_ZONE"),
    Str("DESCRIZIONE", 20, kRequired),
};

constexpr FieldDef kBancheFields[] = {
    Int("ID_BANCHE"), Str("DESCRIZIONE", 50, kRequired), Str("ABI", 5),
    Str("CAB", 5),    Str("SIA", 10),                    Str("DIPENDENZA", 20),
};

// The company's account columns only; the bank register joined in for the
// ordering contributes nothing to the dataset.
constexpr FieldDef kBancheDitteFields[] = {
    Str("ID_DITTE", 5, kRequired),
    Int("ID_BANCHE", kRequired),
    Str("NUMEROCC", 16, kRequired),
    Int("MASTRO"),
    Int("CONTO"),
    Int("SOTTOCONTO"),
    Ts("DATA_INIZIO"),
    Int("GG_VAL1"), Int("GG_VAL2"), Int("GG_VAL3"), Int("GG_VAL4"), Int("GG_VAL5"),
    Int("GG_VAL6"), Int("GG_VAL7"), Int("GG_VAL8"), Int("GG_VAL9"), Int("GG_VAL10"),
    Int("ID_TO1"), Int("ID_TO2"), Int("ID_TO3"), Int("ID_TO4"), Int("ID_TO5"),
    Int("ID_TO6"), Int("ID_TO7"), Int("ID_TO8"), Int("ID_TO9"), Int("ID_TO10"),
    Flt("TASSO_CREDITO1"), Flt("TASSO_CREDITO2"), Flt("TASSO_CREDITO3"),
    Flt("TASSO_CREDITO4"), Flt("TASSO_CREDITO5"), Flt("TASSO_CREDITO6"),
    Flt("TASSO_CREDITO7"), Flt("TASSO_CREDITO8"), Flt("TASSO_CREDITO9"),
    Flt("TASSO_CREDITO10"),
    Ts("DATA_TC1"), Ts("DATA_TC2"), Ts("DATA_TC3"), Ts("DATA_TC4"), Ts("DATA_TC5"),
    Ts("DATA_TC6"), Ts("DATA_TC7"), Ts("DATA_TC8"), Ts("DATA_TC9"), Ts("DATA_TC10"),
    Flt("FIDO"),
    Flt("SPESE_CHIUSURA_FIDO"),
    Ts("DATA_FIDO"),
    Flt("DEBITO1"), Flt("DEBITO2"), Flt("DEBITO3"),
    Flt("DEBITO4"), Flt("DEBITO5"), Flt("DEBITO6"),
    Flt("SUPERO1"), Flt("SUPERO2"), Flt("SUPERO3"),
    Flt("SUPERO4"), Flt("SUPERO5"), Flt("SUPERO6"),
    Ts("DATA_DEBITO1"), Ts("DATA_DEBITO2"), Ts("DATA_DEBITO3"),
    Ts("DATA_DEBITO4"), Ts("DATA_DEBITO5"), Ts("DATA_DEBITO6"),
    Flt("MAX_SCOPERTO1"),
    Flt("MAX_SCOPERTO2"),
    Flt("MAX_SS1"),
    Flt("MAX_SS2"),
    Ts("DATA_SCOPERTO1"),
    Ts("DATA_SCOPERTO2"),
    Flt("CASTELLETTO"),
    Flt("TASSO_CAS"),
    Ts("DATA_CAS"),
    Int("MASTRO_CAS"),
    Int("CONTO_CAS"),
    Int("SOTTOCONTO_CAS"),
    Flt("IMPORTO_SPESE1"), Flt("IMPORTO_SPESE2"), Flt("IMPORTO_SPESE3"),
    Flt("IMPORTO_SPESE4"), Flt("IMPORTO_SPESE5"), Flt("IMPORTO_SPESE6"),
    Flt("IMPORTO_SPESE7"), Flt("IMPORTO_SPESE8"),
    Int("ID_TOS1"), Int("ID_TOS2"), Int("ID_TOS3"), Int("ID_TOS4"),
    Int("ID_TOS5"), Int("ID_TOS6"), Int("ID_TOS7"), Int("ID_TOS8"),
    Flt("SPESE_X_OPERAZIONE"),
    Flt("SPESE_CHIUSURA_CONTO"),
};

// ---------------------------------------------------------------------------
// Customers and suppliers per company, statuses and categories

// The per-company customer columns; the register's VAT number and business
// name, selected only for the join and the ordering, stay out of the dataset.
constexpr FieldDef kOrderedClientiDitteFields[] = {
    Int("ID_CLIENTI", kRequired),
    Str("ID_DITTE", 5, kRequired),
    Int("MASTRO", kRequired),
    Int("CONTO", kRequired),
    Int("SOTTOCONTO", kRequired),
    Int("DATI_PERSONALI"),
    Int("ID_TAB_COND_PAG"),
    Int("ID_LISTINI"),
    Int("ID_AGENTI"),
    Flt("PROV_AGENT"),
    Flt("SCONTO_1"),
    Flt("SCONTO_2"),
    Int("RAG_DDT"),
    Ts("DATA_U_FAT"),
    Ts("DATA_U_ORD"),
    Ts("DATA_U_PAG"),
    Str("BANCA_APP", 30),
    Str("DIPENDENZA_APP", 15),
    Str("NUMCC_APP", 15),
    Flt("ABI_APP"),
    Flt("CAB_APP"),
    Str("BANCA_DOM", 30),
    Str("DIPENDENZA_DOM", 15),
    Str("NUMCC_DOM", 15),
    Flt("ABI_DOM"),
    Flt("CAB_DOM"),
    Int("ID_VETTORI"),
    Flt("FIDO_1"),
    Flt("FIDO_2"),
    Flt("FIDEJUSSIONE"),
    Int("MASTRO_RICAVI"),
    Int("CONTO_RICAVI"),
    Int("SOTTOCONTO_RICAVI"),
    Int("DETTAGLIO_RICAVI"),
    Str("GRUPPO", 10),
    Flt("SPESE_CLI"),
    Str("DESC_AGG2", 40),
    Str("NOTE1", 40),
    Str("NOTE2", 40),
    Str("VALUTA", 5),
    Str("ESENZIONE_IVA", 4),
    Str("AGEVOLAZIONE_IVA", 5),
    Str("DICHIARAZIONE_INTENTI", 15),
};

constexpr FieldDef kOrderedFornitoriDitteFields[] = {
    Int("ID_FORNITORI", kRequired),
    Str("ID_DITTE", 5, kRequired),
    Int("MASTRO", kRequired),
    Int("CONTO", kRequired),
    Int("SOTTOCONTO", kRequired),
    Int("ID_TAB_COND_PAG"),
    Flt("SCONTO_1"),
    Flt("SCONTO_2"),
    Int("MASTRO_COSTI"),
    Int("CONTO_COSTI"),
    Int("SOTTOCONTO_COSTI"),
    Int("DETTAGLIO_COSTI"),
    Str("NOTE1", 40),
    Str("NOTE2", 40),
    Str("VALUTA", 5),
};

// Customer and supplier statuses and shipping methods: a numeric code and
// its description, both in mixed case.
constexpr FieldDef kCodiceDescrizioneFields[] = {
    Int("Codice"),
    Str("Descrizione", 30),
};

constexpr FieldDef kTabCatCliFields[] = {
    Int("ID_TAB_CAT_CLI"),
    Str("DESCRIZIONE", 20, kRequired),
};

// ---------------------------------------------------------------------------
// Payment types, VAT codes, currencies and exchange rates

constexpr FieldDef kTipiPagamentoFields[] = {
    Int("Codice"),
    Str("Descrizione", 30),
    Int("Tipo"),
};

// The VAT codes, as read both with a non-zero rate and as exemptions.
constexpr FieldDef kTabIvaFields[] = {
    Str("ID_TAB_IVA", 4, kRequired),
    Int("ACQ_VEND", kRequired),
    Flt("ALIQUOTA", kRequired),
    Str("DESCRIZIONE", 30),
    Str("ESENZIONE", 15),
    Str("SIGLA", 4),
    Str("DESCRIZIONESIGLA", 15),
    Flt("PERC_INDETRAIBILITA", kRequired),
    Str("CODXINDETRAIBILITA", 4),
    Int("VENTILAZIONE", kRequired),
    Str("CODXVENTILAZIONE", 4),
    Int("PLAFOND", kRequired),
    Int("ACCUMULO1", kRequired),
    Int("ACCUMULO2", kRequired),
    Int("ACCUMULO3", kRequired),
    Int("FATTURE_RITARDATE", kRequired),
    Str("RIGA1", 4),
    Str("RIGA2", 4),
    Str("RIGA3", 4),
    Int("VM_FUORICEE", kRequired),
};

constexpr FieldDef kValuteFields[] = {
    Str("CODICE", 7, kRequired),
    Str("DESCRIZIONE", 30),
    Str("PAESE", 20),
};

// The currency code of an exchange rate is shorter than in the currency
// register.
constexpr FieldDef kCambiFields[] = {
    Ts("DATA_CAMBIO", kRequired),
    Str("CODICE", 5, kRequired),
    Flt("RAPPORTO"),
};

constexpr FieldDef kTabMovValutaFields[] = {
    Int("ID_TAB_MOV_VALUTA"),
    Str("DESCRIZIONE", 30),
};

// ---------------------------------------------------------------------------
// Chart of accounts

constexpr FieldDef kTipiPiacoFields[] = {
    Int("ID_TAB_TIPIPIACO"),
    Str("DESCRIZIONE", 30, kRequired),
};

constexpr FieldDef kPianoDitteFields[] = {
    Str("ID_DITTE", 5, kRequired),
    Int("MASTRO", kRequired),
    Int("CONTO", kRequired),
    Int("SOTTOCONTO", kRequired),
    Int("DETTAGLIO", kRequired),
    Str("DESCRIZIONE", 30),
    Int("ID_TIPO_PIACO", kRequired),
    Str("RICAVO_IASI", 10),
    Str("DOC_ORIGINE", 20),
    Str("EROGAZIONE", 5),
    Str("NATURA", 20),
};

// The union of shared and company accounts takes its column names from the
// shared chart.
constexpr FieldDef kPiaconDettFields[] = {
    Int("ID_TAB_TIPIPIACO", kRequired),
    Int("MASTRO", kRequired),
    Int("CONTO", kRequired),
    Int("SOTTOCONTO", kRequired),
    Int("DETTAGLIO", kRequired),
    Str("DESCRIZIONE", 30, kRequired),
    Int("TIPOCONTO"),
};

// Numbered account positions for customers, suppliers and banks.
constexpr FieldDef kPianoPosizioniFields[] = {
    Str("ID_DITTE", 5, kRequired), Int("NUMERO"), Int("MASTRO"), Int("CONTO"), Int("SOTTOCONTO"),
};

constexpr FieldDef kBilancioCeeFields[] = {
    Int("Tipo"),
    Str("Liv_1", 1),
    Str("Liv_2", 2),
    Str("Liv_3", 2),
    Str("Liv_4", 3),
    Str("DescrLiv_1", 45),
    Str("DescrLiv_2", 45),
    Str("DescrLiv_3", 45),
    Str("DescrLiv_4", 45),
    Str("Segno", 1),
};

constexpr FieldDef kAccumuliFields[] = {
    Int("CodiceN"),
    Str("CodiceA", 3),
    Str("Descrizione", 45),
    Str("Segno", 1),
};

// ---------------------------------------------------------------------------
// Progressive account totals

constexpr FieldDef kPiaconProFields[] = {
    Str("ID_DITTE", 5, kRequired),
    Int("ID_ANNO", kRequired),
    Int("MASTRO", kRequired),
    Int("CONTO", kRequired),
    Int("SOTTOCONTO", kRequired),
    Int("DETTAGLIO", kRequired),
    Int("TIPOCONTO", kRequired),
    Flt("DARE"),
    Flt("AVERE"),
    Flt("SALDO"),
    Flt("SALDO_CONSOLIDATO"),
};

constexpr FieldDef kListaPiaconProFields[] = {
    Str("ID_DITTE", 5),
    Int("ID_ANNO"),
    Int("MASTRO"),
    Int("CONTO"),
    Int("SOTTOCONTO"),
    Int("DETTAGLIO"),
    Int("TIPOCONTO"),
    Int("TIPO_DARE"),
    Flt("DARE"),
    Flt("AVERE"),
    Str("DESCRIZIONE", 30),
    Int("TIPO"),
};

// ---------------------------------------------------------------------------
// Accounting causals and their lookups

constexpr FieldDef kCausaliDettaglioFields[] = {
    Int("ID_TAB_TIPIPIACO", kRequired),
    Str("CODICE", 5, kRequired),
    Int("ID_CAUSALIDETTAGLI"),
    Int("MASTRO"),
    Int("CONTO"),
    Int("SOTTOCONTO"),
    Int("DETTAGLIO"),
    Int("TIPO_PRELEVAMENTO"),
    Str("ID_TAB_IVA", 4),
    Flt("PERCENTUALE"),
    Str("COMMESSA", 10),
    Str("DESCRIZIONE", 30),
    Int("DAREAVERE"),
    Int("TIPO_CONTROPARTITA"),
};

constexpr FieldDef kPrioritaMovimentiFields[] = {
    Int("ID_PRI_MOV", kRequired),
    Str("DESCRIZIONE", 30, kRequired),
};

constexpr FieldDef kEstremiDocumentoFields[] = {
    Int("ID_TAB_ESTR_DOC", kRequired),
    Str("DESCRIZIONE", 50),
};

constexpr FieldDef kPrelevamentoFields[] = {
    Int("ID_PRE_IMP"),
    Str("DESCRIZIONE", 30),
};

constexpr FieldDef kTipoContropartitaFields[] = {
    Int("ID_TIPO_CONTROPARTITE", kRequired),
    Str("DESCRIZIONE", 30),
};

constexpr FieldDef kEstrattoContoFields[] = {
    Int("ID_TAB_COD_EST_CONTO", kRequired),
    Str("DESCRIZIONE", 30),
};

// ---------------------------------------------------------------------------
// VAT registers and document counters

constexpr FieldDef kRegistriFields[] = {
    Int("REGISTRO", kRequired),
    Int("GRUPPO", kRequired),
    Str("SEZIONALE", 2, kRequired),
    Str("DESCRIZIONE", 30),
    Int("TIPO"),
    Int("RIFERIMENTO"),
    Int("CONTATORE"),
};

constexpr FieldDef kGruppiIvaFields[] = {
    Int("CODICE", kRequired),
    Str("DESCRIZIONE", 30, kRequired),
};

constexpr FieldDef kTabRegFields[] = {
    Int("ID_TAB_REG"),
    Str("DESCRIZIONE", 20, kRequired),
};

// The counters take company keys of up to seven characters.
constexpr FieldDef kDocContatoriFields[] = {
    Int("ID_ANNO", kRequired),
    Str("ID_DITTE", 7, kRequired),
    Int("CONTATORE"),
    Int("NUMERO", kRequired),
};

// ---------------------------------------------------------------------------
// Journal headers

constexpr FieldDef kHeaderFields[] = {
    Str("ID_DITTE", 5, kRequired),
    Int("ID_ANNO", kRequired),
    Int("MC_NUMREG", kRequired),
    Int("MC_CODCAU"),
    Int("ID_TIPOPIACO"),
    Int("MASTRO"),
    Int("CONTO"),
    Int("SOTTOCONTO"),
    Int("DETTAGLIO"),
    Flt("IMPORTO"),
    Ts("DATASCADENZA"),
    Int("PROTOCOLLO"),
    Int("NUMERO_DOCUMENTO"),
    Str("SIGLA_DOCUMENTO", 3),
    Ts("DATA_DOCUMENTO"),
    Int("NUMERO_PARTITA"),
    Ts("RIFERIMENTO_IVA"),
    Ts("SCADENZA"),
    Ts("COMPETENZA"),
    Int("CONDPAG"),
    Int("VALUTA"),
    Ts("DATA_VALUTA"),
    Flt("CAMBIO"),
};

// ---------------------------------------------------------------------------
// Progressive VAT totals, VAT settlement and withholding types

constexpr FieldDef kIvaProFields[] = {
    Str("ID_DITTE", 5, kRequired),
    Int("ID_ANNO", kRequired),
    Int("REGISTRO", kRequired),
    Int("ID_TAB_ISO", kRequired),
    Str("CODICE_IVA", 6, kRequired),
    Int("MESERIF", kRequired),
    Flt("IMPONIBILE"),
    Flt("IVA"),
};

constexpr FieldDef kIvaTerFields[] = {
    Str("ID_DITTE", 5, kRequired),
    Int("ID_ANNO", kRequired),
    Int("REGISTRO", kRequired),
    Int("ID_TAB_ISO", kRequired),
    Int("ID_TIPO_VIAGGIO", kRequired),
    Str("CODICE_IVA", 4, kRequired),
    Int("MESERIF", kRequired),
    Flt("IMPONIBILE"),
    Flt("IVA"),
};

constexpr FieldDef kTipoViaggioFields[] = {
    Int("ID_TIPO_VIAGGIO", kRequired),
    Str("DESCRIZIONE", 30),
};

constexpr FieldDef kTabLiqFields[] = {
    Str("ID_DITTE", 5, kRequired),
    Int("ID_ANNO", kRequired),
    Int("NMESE"),
    Ts("DATA"),
    Flt("CREDITO"),
    Flt("DEBITO"),
    Flt("IMPOSTA"),
    Flt("VERSATA"),
    Flt("INTERESSI"),
    Int("AZIENDA"),
    Int("DIPENDENZA"),
};

constexpr FieldDef kTabAutFields[] = {
    Str("ID_DITTE", 5, kRequired),
    Int("ID_ANNO", kRequired),
    Int("AU_TIPODIC"),
    Ts("AU_DATAULD"),
    Flt("AU_PERCPRO"),
    Flt("AU_CREDINI"),
    Flt("AU_CRINCEE"),
    Flt("AU_CREDPRE"),
    Flt("AU_CRPRCEE"),
    Flt("AU_LIMVERS"),
    Int("AU_ULTREGI"),
    Ts("AU_DATAURG"),
    Flt("AU_RIPDARE"),
    Flt("AU_RIPAVERE"),
    Flt("AU_IVAVERS"),
    Flt("AU_DEBPREC"),
    Int("AU_NUMBOLL"),
    Str("AU_CAUCHIE", 5),
    Str("AU_CAUCHIP", 5),
    Str("AU_CAUAPER", 5),
    Int("AU_MMPERPR"),
    Int("AU_CCPERPR"),
    Int("AU_SSPERPR"),
    Int("AU_MMSTPAC"),
    Int("AU_CCSTPAC"),
    Int("AU_SSSTPAC"),
    Int("AU_MMSTPAA"),
    Int("AU_CCSTPAA"),
    Int("AU_SSSTPAA"),
    Int("AU_MMPERES"),
    Int("AU_CCPERES"),
    Int("AU_SSPERES"),
    Int("AU_MMUTIES"),
    Int("AU_CCUTIES"),
    Int("AU_SSUTIES"),
    Int("AU_PROGCES"),
    Flt("AU_CRENEW"),
    Int("AU_CALAMMO"),
    Flt("AU_ARRSALP"),
    Flt("AU_VOLAFFA"),
    Flt("AU_IMPESED"),
    Flt("AU_RIDDETR"),
    Str("AU_CAUSTOI", 5),
    Flt("AU_ACQBENA"),
    Flt("AU_CESBENA"),
    Flt("AU_PLAFOND"),
    Flt("AU_PLAFDIS"),
    Int("AU_CLA_IVAVEN"),
    Int("AU_CLA_IVAACQ"),
    Flt("AU_PECAIV"),
    Flt("DEBITOIVA74TER"),
    Flt("CREDITOCOSTO74TER"),
    Str("ALIQUOTAORD74TER", 4),
    Flt("PERC_IRPEG"),
    Flt("PERC_IRAP"),
    Str("COD_IVA_MARGINE", 4),
};

constexpr FieldDef kTabRitenuteFields[] = {
    Int("ID_TAB_RITENUTE"),
    Str("DESCRIZIONE", 30, kRequired),
    Flt("ALIQUOTA"),
    Flt("BASE_IMPONIBILE"),
};

// ---------------------------------------------------------------------------
// Contract types (mixed-case names reach the client as written)

constexpr FieldDef kTabContrattiFields[] = {
    Str("ID_DITTE", 5),
    Int("Codice"),
    Str("Descrizione", 30),
    Flt("Importo"),
};

// ---------------------------------------------------------------------------
// Supplier-per-company statements: the update sets the thirteen non-key
// columns and selects the row by its two key columns.

constexpr ParamDef kInsertFornitoriDitteParams[] = {
    IntParam("ID_FORNITORI"),
    StrParam("ID_DITTE"),
    IntParam("MASTRO"),
    IntParam("CONTO"),
    IntParam("SOTTOCONTO"),
    IntParam("ID_TAB_COND_PAG"),
    FltParam("SCONTO_1"),
    FltParam("SCONTO_2"),
    IntParam("MASTRO_COSTI"),
    IntParam("CONTO_COSTI"),
    IntParam("SOTTOCONTO_COSTI"),
    IntParam("DETTAGLIO_COSTI"),
    StrParam("NOTE1"),
    StrParam("NOTE2"),
    StrParam("VALUTA"),
};

constexpr ParamDef kUpdateFornitoriDitteParams[] = {
    IntParam("MASTRO"),
    IntParam("CONTO"),
    IntParam("SOTTOCONTO"),
    IntParam("ID_TAB_COND_PAG"),
    FltParam("SCONTO_1"),
    FltParam("SCONTO_2"),
    IntParam("MASTRO_COSTI"),
    IntParam("CONTO_COSTI"),
    IntParam("SOTTOCONTO_COSTI"),
    IntParam("DETTAGLIO_COSTI"),
    StrParam("NOTE1"),
    StrParam("NOTE2"),
    StrParam("VALUTA"),
    IntParam("ID_FORNITORI"),
    StrParam("ID_DITTE"),
};

constexpr ParamDef kDeleteFornitoriDitteParams[] = {
    IntParam("ID_FORNITORI"),
    StrParam("ID_DITTE"),
};

// ---------------------------------------------------------------------------
// Report routines

constexpr ParamDef kStampaClienteParams[] = {
    StrParam("CODICE_PAESE"), IntParam("FSTATUS"),    IntParam("FZONA"),
    IntParam("FREGIONE"),     IntParam("FCATEGORIA"), IntParam("RIDOTTA"),
};

constexpr FieldDef kStampaClienteFields[] = {
    Str("RAGIONESOCIALE", 30),
    Str("INDIRIZZO", 30),
    Str("CAP", 5),
    Str("LOCALITA", 80),
    Str("PROVINCIA", 2),
    Str("PARTITAIVA", 11),
    Str("CODICEFISCALE", 16),
    Str("TELUFFICIO", 15),
    Str("FAX", 15),
    Str("ISO_PAESE", 15),
    Str("DESC_AGGIUNTIVA", 40),
    Str("CATEGORIA", 20),
    Str("REGIONE", 20),
    Str("ZONA", 20),
    Str("STATUS", 30),
};

constexpr ParamDef kStampaFornitoreParams[] = {
    StrParam("CODICE_PAESE"),
    IntParam("FSTATUS"),
    IntParam("RIDOTTA"),
};

// The supplier register shares the customer register's first ten columns
// and has no description, category, region or zone.
constexpr FieldDef kStampaFornitoreFields[] = {
    Str("RAGIONESOCIALE", 30),
    Str("INDIRIZZO", 30),
    Str("CAP", 5),
    Str("LOCALITA", 80),
    Str("PROVINCIA", 2),
    Str("PARTITAIVA", 11),
    Str("CODICEFISCALE", 16),
    Str("TELUFFICIO", 15),
    Str("FAX", 15),
    Str("ISO_PAESE", 15),
    Str("STATUS", 30),
};

constexpr ParamDef kStampaClienteContabileParams[] = {
    StrParam("CODICE_PAESE"),
    IntParam("STATUS"),
    IntParam("AGENTE"),
    IntParam("ZONA"),
    IntParam("REGIONE"),
    IntParam("VETTORE"),
    IntParam("CATEGORIA"),
    IntParam("GRUPPO"),
    IntParam("ORDINE"),
    StrParam("ID_DITTE"),
    IntParam("ID_ANNO"),
};

constexpr FieldDef kStampaClienteContabileFields[] = {
    Str("MMCCSSSS", 8),
    Str("RAGIONESOCIALE", 30),
    Int("DETTAGLIO"),
    Int("TIPOCONTO"),
    Flt("DARE"),
    Flt("AVERE"),
    Flt("SALDO"),
    Flt("SALDO_CONSOLIDATO"),
};

// The routine takes the company key as ID_DITTA.
constexpr ParamDef kStampaDittaHeaderParams[] = {
    StrParam("ID_DITTA"),
};

constexpr FieldDef kStampaDittaHeaderFields[] = {
    Str("RAGIONESOCIALE", 30),
    Str("INDIRIZZO", 30),
    Str("CAP", 5),
    Str("COMUNE", 80),
};

constexpr ParamDef kStampaListaParams[] = {
    StrParam("ID_DITTE"), IntParam("IN_TIPO"),   IntParam("ANNO"),
    IntParam("LIVELLO"),  IntParam("FORNITORE"), IntParam("CLIENTE"),
};

// The account position routine alone names its two flags in the plural.
constexpr ParamDef kStampaSituazioneParams[] = {
    StrParam("ID_DITTE"), IntParam("IN_TIPO"),    IntParam("ANNO"),
    IntParam("LIVELLO"),  IntParam("FORNITORI"), IntParam("CLIENTI"),
};

// The account range forms put the first and last account between the level
// and the two flags.
constexpr ParamDef kStampaListaRangeParams[] = {
    StrParam("ID_DITTE"),     IntParam("IN_TIPO"),     IntParam("ANNO"),
    IntParam("LIVELLO"),      IntParam("DAMASTRO"),    IntParam("DACONTO"),
    IntParam("DASOTTOCONTO"), IntParam("DADETTAGLIO"), IntParam("AMASTRO"),
    IntParam("ACONTO"),       IntParam("ASOTTOCONTO"), IntParam("ADETTAGLIO"),
    IntParam("FORNITORE"),    IntParam("CLIENTE"),
};

constexpr FieldDef kStampaListaFields[] = {
    Str("DITTE_RAGIONESOCIALE", 30),
    Str("DITTE_INDIRIZZO", 30),
    Str("DITTE_COMUNE", 80),
    Int("ID_ANNO"),
    Str("COD_CONTABILE", 30),
    Int("TIPOCONTO"),
    Int("TIPO_DARE"),
    Flt("DARE"),
    Flt("AVERE"),
    Str("DESCRIZIONE", 50),
    Int("TIPO"),
    Int("COD_LIVELLO"),
    Str("INDICE", 4),
};

// As the list without totals, with the balances and the grand total after
// the credit column.
constexpr FieldDef kStampaListaTotFields[] = {
    Str("DITTE_RAGIONESOCIALE", 30),
    Str("DITTE_INDIRIZZO", 30),
    Str("DITTE_COMUNE", 80),
    Int("ID_ANNO"),
    Str("COD_CONTABILE", 30),
    Int("TIPOCONTO"),
    Int("TIPO_DARE"),
    Flt("DARE"),
    Flt("AVERE"),
    Flt("SALDODARE"),
    Flt("SALDOAVERE"),
    Flt("TOTALEGENERALE"),
    Str("DESCRIZIONE", 50),
    Int("TIPO"),
    Int("COD_LIVELLO"),
    Str("INDICE", 4),
};

// ---------------------------------------------------------------------------
// The query table

constexpr std::span<const FieldDef> kNoFields;
constexpr std::span<const ParamDef> kNoParams;

constexpr QueryDef Select(const char* query, const char* provider, const char* sql,
                          std::span<const FieldDef> fields = kNoFields) {
  return {query, provider, sql, fields, kNoParams, Module::Catalogue};
}

constexpr QueryDef Statement(const char* query, const char* sql,
                             std::span<const ParamDef> params) {
  return {query, nullptr, sql, kNoFields, params, Module::Catalogue};
}

constexpr QueryDef Report(const char* query, const char* provider, const char* sql,
                          std::span<const FieldDef> fields, std::span<const ParamDef> params) {
  return {query, provider, sql, fields, params, Module::Report};
}

constexpr QueryDef kQueries[] = {
    // General-purpose queries: no SQL until a client sets one.
    Select("qSelect", "Select", nullptr),
    Select("qSelect_1", "Select_1", nullptr),
    Select("qSelect_2", "Select_2", nullptr),
    Select("qSelect_3", "Select_3", nullptr),
    Select("qSelect_4", "Select_4", nullptr),
    Select("qSelect_5", "Select_5", nullptr),
    Select("qSelect_6", "Select_6", nullptr),
    Select("qSelect_7", "Select_7", nullptr),
    Select("qSelect_8", "Select_8", nullptr),

    // Companies and fiscal years
    Select("qSelectDitte", "SelectDitte", "Select * from Ditte order by RagioneSociale"),
    Select("qSelectEsercizi", "SelectEsercizi", "Select * from Esercizi order by id_anno",
           kEserciziFields),

    // Municipalities and zones
    Select("qSelectComuni", "SelectComuni", "Select * from Tab_Comuni order by Nome",
           kComuniFields),
    Select("qSelectTab_Zone", "SelectTab_Zone", "Select * from Tab_Zone Order by Descrizione",
           kTabZoneFields),

    // Banks and company bank accounts
    Select("qSelectBanche", "SelectBanche", "Select * from Banche order by Descrizione",
           kBancheFields),
    Select("qSelectBancheDitte", "SelectBancheDitte",
           "SELECT * FROM DITTEBANCHE,BANCHE WHERE BANCHE.ID_BANCHE=DITTEBANCHE.ID_BANCHE "
           "ORDER BY BANCHE.DESCRIZIONE",
           kBancheDitteFields),

    // Customers and suppliers
    Select("qSelectClienti", "SelectClienti", "Select * from Clienti order by RagioneSociale"),
    Select("qSelectFornitori", "SelectFornitori",
           "Select * from Fornitori order by RagioneSociale"),
    Select("qSelectClientiDitte", "SelectClientiDitte",
           "SELECT  * FROM CLIENTI_DITTE order by mastro,conto,sottoconto"),
    Select("qSelectFornitoriDitte", "SelectFornitoriDitte",
           "SELECT  * FROM FORNITORI_DITTE order by mastro,conto,sottoconto"),
    Select("qSelectClientiNote", "SelectClientiNote",
           "Select * from Clienti_Note order by id_ditte,id_clienti,progressivo"),
    Select("qSelectFornitoriNote", "SelectFornitoriNote",
           "Select * from Fornitori_Note order by id_ditte,id_fornitori,progressivo"),
    Select("qSelectOrderedClientiDitte", "SelectOrderedClientiDitte",
           "SELECT CLIENTI_DITTE.*,CLIENTI.PARTITAIVA,CLIENTI.RAGIONESOCIALE FROM "
           "CLIENTI_DITTE,CLIENTI WHERE CLIENTI.ID_CLIENTI=CLIENTI_DITTE.ID_CLIENTI ORDER BY "
           "CLIENTI.RAGIONESOCIALE",
           kOrderedClientiDitteFields),
    Select("qSelectOrderedFornitoriDitte", "SelectOrderedFornitoriDitte",
           "SELECT FORNITORI_DITTE.* FROM FORNITORI_DITTE,FORNITORI WHERE "
           "FORNITORI.ID_FORNITORI=FORNITORI_DITTE.ID_FORNITORI ORDER BY "
           "FORNITORI.RAGIONESOCIALE",
           kOrderedFornitoriDitteFields),

    // Customer and supplier statuses, customer categories
    Select("qSelectStatusCli", "SelectStatusCli", "Select * from Status_Cli order by Codice",
           kCodiceDescrizioneFields),
    Select("qSelectStatusFor", "SelectStatusFor", "Select * from Status_For order by Codice",
           kCodiceDescrizioneFields),
    Select("qSelectTab_Cat_Cli", "SelectTab_Cat_Cli",
           "Select * from Tab_Cat_Cli Order by descrizione", kTabCatCliFields),

    // Agents, carriers, payment terms, shipping and mail groups
    Select("qSelectAgenti", "SelectAgenti", "Select * from Agenti order by id_Agenti"),
    Select("qSelectVettori", "SelectVettori", "Select * from Vettori order by id_Vettori"),
    Select("qSelectTab_CondPag", "SelectTab_CondPag", "Select * from Tab_CondPAG order by Codice"),
    Select("qSelectTabGruppoMail", "SelectTabGruppoMail",
           "Select * from Tab_Gruppo_Mail order by Codice,descrizione"),
    Select("qSelectTipiPagamento", "SelectTipiPagamento",
           "SELECT * FROM DESC_PAGAMENTI order by Codice", kTipiPagamentoFields),
    Select("qSelectTabSped", "SelectTabSped", "Select * from Tab_Sped order by Codice",
           kCodiceDescrizioneFields),

    // VAT codes
    Select("qSelectTab_Iva", "SelectTab_Iva", "Select * from Tab_Iva order by Aliquota"),
    Select("qSelectIVA", "SelectIVA", "SELECT * FROM TAB_IVA WHERE ALIQUOTA <> 0", kTabIvaFields),
    Select("qSelectEsenzioni", "SelectEsenzioni", "SELECT * FROM TAB_IVA WHERE ALIQUOTA=0",
           kTabIvaFields),

    // Currencies and exchange rates
    Select("qSelectValute", "SelectValute", "SELECT * FROM TAB_VALUTE", kValuteFields),
    Select("qSelectCambi", "SelectCambi", "SELECT * FROM TAB_CAMBI", kCambiFields),
    Select("qSelectTab_Mov_Valuta", "SelectTab_Mov_Valuta",
           "Select * from Tab_Mov_valuta order by  id_Tab_Mov_Valuta", kTabMovValutaFields),

    // Chart of accounts
    Select("qSelectPiacon", "SelectPiacon",
           "select * from piacon order by id_tab_tipipiaco,mastro,conto,sottoconto,dettaglio"),
    Select("qSelectTipiPiaco", "SelectTipiPiaco",
           "Select * from Tab_TipiPiaco order by Descrizione", kTipiPiacoFields),
    Select("qSelectPianoDitte", "SelectPianoDitte",
           "SELECT * FROM PIACON_DITTE order by "
           "id_ditte,id_tipo_piaco,MASTRO,CONTO,SOTTOCONTO,DETTAGLIO",
           kPianoDitteFields),
    Select("qSelectPiaconDett", "SelectPiaconDett",
           "select "
           "piacon.id_tab_tipipiaco,piacon.mastro,piacon.conto,piacon.sottoconto,piacon.dettaglio,"
           "piacon.descrizione,piacon.tipoconto from piacon union select "
           "piacon_ditte.id_tipo_piaco,piacon_ditte.mastro,piacon_ditte.conto,"
           "piacon_ditte.sottoconto,piacon_ditte.dettaglio,piacon_ditte.descrizione,0 from "
           "piacon_ditte",
           kPiaconDettFields),
    Select("qSelectPianoClienti", "SelectPIanoClienti",
           "SELECT * FROM TAB_PIANOCLIENTI order by MASTRO,CONTO,SOTTOCONTO",
           kPianoPosizioniFields),
    Select("qSelectPianoFornitori", "SelectPianoFornitori",
           "SELECT * FROM TAB_PIANOFORNITORI ORDER BY MASTRO,CONTO,SOTTOCONTO",
           kPianoPosizioniFields),
    Select("qSelectPianoBanche", "SelectPianoBanche", "SELECT * FROM TAB_PIANOBANCHE",
           kPianoPosizioniFields),
    Select("qSelectBilancioCEE", "SelectBilancioCEE",
           "Select * from BilancioCEE order by TIPO,LIV_1,LIV_2,LIV_3,LIV_4", kBilancioCeeFields),
    Select("qSelectAccumuli", "SelectAccumuli", "Select * from Accumuli order by CodiceA",
           kAccumuliFields),

    // Progressive account totals
    Select("qSelectProgressivi", "SelectProgressivi",
           "SELECT * FROM PIACON_PRO order by MASTRO,CONTO,SOTTOCONTO,DETTAGLIO",
           kPiaconProFields),
    Select("qSelectPianoProgressivi", "SelectPianoProgressivi",
           "SELECT * FROM PIACON_PRO order by Mastro,Conto,SottoConto,Dettaglio",
           kPiaconProFields),
    Select("qSelectListaPiaconPro", "SelectListaPiaconPro",
           "SELECT * FROM LISTA_PIACONPRO ORDER BY MASTRO,CONTO,SOTTOCONTO,DETTAGLIO",
           kListaPiaconProFields),

    // Accounting causals and their lookups
    Select("qSelectCausali", "SelectCausali",
           "SELECT * FROM CAUSALI ORDER BY ID_TAB_TIPIPIACO,1000-(Codice)*-1"),
    Select("qSelectCausaliDettaglio", "SelectCausaliDettaglio",
           "SELECT * FROM CAUSALIDETTAGLI ORDER BY  ID_TAB_TIPIPIACO, CODICE, ID_CAUSALIDETTAGLI",
           kCausaliDettaglioFields),
    Select("qSelectPrioritaMovimenti", "SelectPrioritaMovimenti", "SELECT * FROM TAB_PRI_MOV",
           kPrioritaMovimentiFields),
    Select("qSelectEstremiDocumento", "SelectEstremiDocumento", "SELECT * FROM TAB_ESTR_DOC",
           kEstremiDocumentoFields),
    Select("qSelectPrelevamento", "SelectPrelevamento", "SELECT * FROM TAB_PRE_IMP",
           kPrelevamentoFields),
    Select("qSelectTipoContropartita", "SelectTipoContropartita",
           "SELECT * FROM TAB_TIPO_CONTROPARTITE", kTipoContropartitaFields),
    Select("qSelectEstrattoConto", "SelectEstrattoConto", "SELECT * FROM TAB_COD_EST_CONTO",
           kEstrattoContoFields),

    // VAT registers and VAT lookups
    Select("qSelectTab_Cla_Iva", "SelectTab_Cla_Iva",
           "SELECT * FROM TAB_CLA_IVA order BY ID_TAB_CLA_IVA"),
    Select("qSelectTab_Iso", "SelectTab_Iso",
           "Select * from Tab_Iso order by ID_TAB_ISO,descrizione"),
    Select("qSelectRegistri", "SelectRegistri", "SELECT * FROM REGISTRI order by Registro",
           kRegistriFields),
    Select("qSelectGruppiIVA", "SelectGruppiIVA", "SELECT * FROM GRUPPIIVA ORDER BY CODICE",
           kGruppiIvaFields),
    Select("qSelectTab_Reg", "SelectTab_Reg", "Select * from Tab_Reg Order by Descrizione",
           kTabRegFields),
    Select("qSelectDocContatori", "SelectDocContatori", "SELECT * FROM TAB_AUTCONTATORI",
           kDocContatoriFields),

    // Journal
    Select("qSelectMovimentiContabili", "SelectMovimentiContabili",
           "SELECT * FROM MOVIMENTI_CONTABILI  order by mc_numreg,mc_progreg DESC"),
    Select("qSelectMovimentiIVA", "SelectMovimentiIVA",
           "SELECT * FROM MOVIMENTI_IVA ORDER BY "
           "MI_GRUPPO,MI_REGSEZ,MI_DATAREG,MI_NUMPROT,MI_MASTRO,MI_CONTO,MI_SSSS,MI_DETTAGLIO"),
    Select("qSelectScadenze", "SelectScadenze",
           "SELECT  * FROM SCADENZE order by "
           "Mastro,Conto,Sottoconto,Dettaglio,Num_reg,Data_Reg,Progressivo"),
    Select("qSelectHeader", "SelectHeader", "SELECT * FROM MOVIMENTI_HEADER", kHeaderFields),

    // Progressive VAT totals and VAT settlement
    Select("qSelectIva_Pro", "Select_Iva_Pro",
           "Select * from IVA_PRO order by ID_DITTE,ID_ANNO,REGISTRO", kIvaProFields),
    Select("qSelectIva_Ter", "Select_Iva_TER",
           "Select * from IVA74TER_PRO order by ID_DITTE,ID_ANNO,REGISTRO", kIvaTerFields),
    Select("qSelectTipoViaggio", "SelectTipoViaggio",
           "SELECT * FROM TAB_TIPO_VIAGGIO order by ID_TIPO_VIAGGIO", kTipoViaggioFields),
    Select("qSelectTab_Liq", "Select_Tab_Liq", "Select * from Tab_Liq", kTabLiqFields),
    Select("qSelectTab_Aut", "SelectTab_Aut", "Select * from Tab_Aut", kTabAutFields),

    // Withholding taxes
    Select("qSelectTab_Ritenute", "SelectTab_Ritenute",
           "Select * from Tab_Ritenute Order by Id_Tab_Ritenute", kTabRitenuteFields),

    // Withholding movements, jobs, fixed assets and bank transfers
    Select("qSelectMovimentiRA", "SelectMovimentiRA",
           "SELECT * FROM MOVIMENTI_RA  ORDER BY  MRA_NUMREG, MRA_DATAREG"),
    Select("qSelectCommesse", "SelectCommesse", "SELECT * FROM COMMESSE order by ID_COMMESSA"),
    Select("qSelectMovCommesse", "SelectMovCommesse",
           "SELECT * FROM MOVIMENTI_COMM  order by COM_NUMREG,COM_DATAREG,COM_ID_COMMESSA"),
    Select("qSelectTipoCespiti", "SelectTipoCespiti",
           "Select * from Tipo_Cespiti order by id_ditte,id_tipo"),
    Select("qSelectCespiti", "SelectCespiti", "Select * from Cespiti order by id_ditte,id_cespite"),
    Select("qSelectBonifici", "SelectBonifici",
           "Select * from Bonifici order by id_ditte,id_anno,id_banche,data"),

    // Articles and warehouse tables
    Select("qSelectArticoli", "SelectArticoli", "Select * from Articoli order by Codice"),
    Select("qSelectArticoliPro", "SelectArticoliPro", "Select * from Articoli_Pro order by Codice"),
    Select("qSelectArticoli_Componenti", "SelectArticoli_Componenti",
           "SELECT * FROM ARTICOLI_COMPONENTI Order by ID_DITTE,Codice"),
    Select("qSelectArticoli_Note", "SelectArticoli_Note",
           "SELECT * FROM ARTINOTE  Order by ID_DITTE,Codice,PROGRESSIVO"),
    Select("qSelectStatusArt", "SelectStatusArt",
           "Select * from Status_Articoli order by Descrizione"),
    Select("qSelectTipoProd", "SelectTipoProd", "Select * from Tipo_Prod order by Descrizione"),
    Select("qSelectProduttori", "SelectProduttori",
           "Select * from Produttori order by Descrizione"),
    Select("qSelectGruppi", "SelectGruppi", "Select * from Gruppi order by Codice"),
    Select("qSelectGruppiPro", "SelectGruppiPro", "Select * from Gruppi_Pro order by Codice"),
    Select("qSelectClassiSco", "SelectClassiSco", "Select * from Classi_Sconto order by Codice"),
    Select("qSelectDepositi", "SelectDepositi", "Select * from Depositi"),
    Select("qSelectTabMag", "SelectTabMag", "Select * from Tab_Mag"),
    Select("qSelectCausamag", "SelectCausamag", "Select * from Causamag order by Codice"),

    // Sales conditions, price bands and commissions
    Select("qSelectCondVend", "SelectCondVend",
           "SELECT  * FROM CONDVEND order by mastro,conto,sottoconto"),
    Select("qSelectCondVendGru", "SelectCondVendGru",
           "SELECT  * FROM CONDVENDGRU order by mastro,conto,sottoconto"),
    Select("qSelectScaglioni", "SelectScaglioni", "SELECT * FROM Scaglioni Order by Codice"),
    Select("qSelectTab_Scaglioni", "SelectTab_Scaglioni",
           "SELECT * FROM Tab_Scaglioni Order by Codice"),
    Select("qSelectTabCalcProvv", "SelectTabCalcProvv",
           "Select * from Tab_Calc_Provv order by Tipo_Calcolo,Codice,descrizione"),
    Select("qSelectClientiPro", "SelectClientiPro",
           "Select * from Clienti_Pro order by id_clienti"),
    Select("qSelectAgentiPro", "SelectAgentiPro", "Select * from Agenti_Pro order by id_agenti"),

    // Warehouse movements and documents: each line table in its header's
    // order followed by the line number
    Select("qSelectMovmag", "SelectMovmag",
           "Select * from Movmag order by N_REGISTRA,DATA_REGISTRA"),
    Select("qSelectMovdet", "SelectMovdet",
           "Select * from Movdet order by N_REGISTRA,DATA_REGISTRA,PROGRESSIVO"),
    Select("qSelectBolle", "SelectBolle",
           "Select * from Bolle order by N_Document,Codcausa,Data_Doc"),
    Select("qSelectBolMov", "SelectBolMov",
           "Select * from Bolmov order by N_document,codcausa,data_Doc,progressivo"),
    Select("qSelectFatture", "SelectFatture", "Select * from Fatture order by Numero,Codcausa,Data"),
    Select("qSelectFatMov", "SelectFatMov",
           "Select * from Fatmov order by numero,codcausa,data,progressivo"),
    Select("qSelectTotfat", "SelectTotfat", "Select * from Totfat order by N_registra,data"),
    Select("qSelectPreventivi", "SelectPreventivi",
           "Select * from Preventivi order by Numero,Data"),
    Select("qSelectPreveMov", "SelectPreveMov",
           "Select * from PreveMov order by numero,data,progressivo"),
    Select("qSelectOrdCli", "SelectOrdCli", "Select * from OrdCli order by N_Document,Data_Doc"),
    Select("qSelectOrdCliMov", "SelectOrdCliMov",
           "Select * from OrdCliMov order by N_document,data_Doc,progressivo"),
    Select("qSelectOrdFor", "SelectOrdFor", "Select * from OrdFor order by N_Document,Data_Doc"),
    Select("qSelectOrdForMov", "SelectOrdForMov",
           "Select * from OrdForMov order by N_document,data_Doc,progressivo"),
    Select("qSelectNoleggi", "SelectNoleggi",
           "Select * from Noleggi order by N_Document,Codcausa,Data_Doc"),
    Select("qSelectNoleggiMov", "SelectNoleggiMov",
           "Select * from NoleggiMov order by N_document,codcausa,data_Doc,progressivo"),

    // Other documents
    Select("qSelectEffetti", "SelectEffetti",
           "Select * from Effetti order by Numero,Codcausa,Data,Progressivo"),
    Select("qSelectFatEnergia", "SelectFatEnergia",
           "Select * from FATTURA_ENERGIA order by "
           "MASTRO,CONTO,SOTTOCONTO,ID_ANNO,PERIODO,N_DOCUMENT"),
    Select("qSelectSchedaDiTrasporto", "SelectSchedaDiTrasporto",
           "Select * from SCHEDADITRASPORTO order by "
           "ID_DITTE,ID_ANNO,DATA_COMPILAZIONE,ID_PROGRESSIVO"),
    Select("qSelectBancheMag", "SelectBancheMag", "Select * from BancheMag order by id_Banche"),
    Select("qSelectContratti", "SelectContratti", "Select * from Contratti order by Numero,Data"),
    Select("qSelectTab_Contratti", "SelectTabContratti",
           "Select * from Tab_Contratti order by Codice", kTabContrattiFields),

    // Customer and supplier lists by year: separate queries with the same
    // starting SQL, so that each year's text can be replaced on its own
    Select("qSelectEleCli2011", "SelectEleCli2011",
           "Select * from ELECLI order by id_ditte,id_anno,mastro,conto,sottoconto"),
    Select("qSelectEleCliMov2011", "SelectEleCliMov2011", "Select * from ELECLIMOV"),
    Select("qSelectEleFor2011", "SelectEleFor2011", "Select * from ELEFOR"),
    Select("qSelectEleForMov2011", "SelectEleForMov2011", "Select * from ELEFORMOV"),
    Select("qSelectEleCli2012", "SelectEleCli2012",
           "Select * from ELECLI order by id_ditte,id_anno,mastro,conto,sottoconto"),
    Select("qSelectEleCliMov2012", "SelectEleCliMov2012", "Select * from ELECLIMOV"),
    Select("qSelectEleFor2012", "SelectEleFor2012", "Select * from ELEFOR"),
    Select("qSelectEleForMov2012", "SelectEleForMov2012", "Select * from ELEFORMOV"),
    Select("qSelectEleCli2017", "SelectEleCli2017",
           "Select * from ELECLI order by id_ditte,id_anno,mastro,conto,sottoconto"),
    Select("qSelectEleCliMov2017", "SelectEleCliMov2017", "Select * from ELECLIMOV"),
    Select("qSelectEleFor2017", "SelectEleFor2017", "Select * from ELEFOR"),
    Select("qSelectEleForMov2017", "SelectEleForMov2017", "Select * from ELEFORMOV"),

    // Customer and supplier lists
    Select("qSelectElencoCli", "SelectElencoCli", "Select * from ELENCOCLI"),
    Select("qSelectElencoFor", "SelectElencoFor", "Select * from ELENCOFOR"),

    // VAT return, form 770 and intermediary
    Select("qSelectQuadroVP", "SelectQuadroVP",
           "SELECT * FROM QUADRO_VP order BY TIPO_DIC,MESE,TRIMESTRE"),
    Select("qSelectCausali770", "SelectCausali770", "SELECT * FROM CAUSALI770  Order by Codice"),
    Select("qSelectIntermediario", "SelectIntermediario", "SELECT * FROM INTERMEDIARIO"),

    // Supplier-per-company statements, run by the update hook of
    // SelectFornitoriDitte
    Statement("qUpdateFornitoriDitte",
              "UPDATE FORNITORI_DITTE SET   MASTRO =:MASTRO,   CONTO =:CONTO,   SOTTOCONTO "
              "=:SOTTOCONTO,   ID_TAB_COND_PAG =:ID_TAB_COND_PAG,   SCONTO_1 =:SCONTO_1,   "
              "SCONTO_2 =:SCONTO_2,   MASTRO_COSTI =:MASTRO_COSTI,   CONTO_COSTI =:CONTO_COSTI,  "
              " SOTTOCONTO_COSTI =:SOTTOCONTO_COSTI,   DETTAGLIO_COSTI =:DETTAGLIO_COSTI,   NOTE1 "
              "=:NOTE1,   NOTE2 =:NOTE2,   VALUTA =:VALUTA WHERE   ID_FORNITORI =:ID_FORNITORI "
              "AND   ID_DITTE =:ID_DITTE",
              kUpdateFornitoriDitteParams),
    Statement("qInsertFornitoriDitte",
              "INSERT INTO FORNITORI_DITTE (   ID_FORNITORI,   ID_DITTE,   MASTRO,   CONTO,   "
              "SOTTOCONTO,   ID_TAB_COND_PAG,   SCONTO_1,   SCONTO_2,   MASTRO_COSTI,   "
              "CONTO_COSTI,   SOTTOCONTO_COSTI,   DETTAGLIO_COSTI,   NOTE1,   NOTE2,   VALUTA ) "
              "VALUES (   :ID_FORNITORI,   :ID_DITTE,   :MASTRO,   :CONTO,   :SOTTOCONTO,   "
              ":ID_TAB_COND_PAG,   :SCONTO_1,   :SCONTO_2,   :MASTRO_COSTI,   :CONTO_COSTI,   "
              ":SOTTOCONTO_COSTI,   :DETTAGLIO_COSTI,   :NOTE1,   :NOTE2,   :VALUTA )",
              kInsertFornitoriDitteParams),
    Statement("qDeleteFornitoriDitte",
              "Delete from FORNITORI_DITTE WHERE   ID_FORNITORI =:ID_FORNITORI AND   ID_DITTE "
              "=:ID_DITTE",
              kDeleteFornitoriDitteParams),

    // Reports, each over a selectable routine of the database
    Report("qStampa_Cliente", "Stampa_Cliente",
           "Select * from "
           "STAMPA_CLIENTI_ANAGRAFICA(:CODICE_PAESE,:FSTATUS,:FZONA,:FREGIONE,:FCATEGORIA,:"
           "RIDOTTA);",
           kStampaClienteFields, kStampaClienteParams),
    Report("qStampa_Fornitore", "Stampa_Fornitore",
           "SELECT * FROM STAMPA_FORNITORI_ANAGRAFICA(:CODICE_PAESE,:FSTATUS,:RIDOTTA);",
           kStampaFornitoreFields, kStampaFornitoreParams),
    Report("qSelectStampa_Cliente_Contabile", "Stampa_Cliente_Contabile",
           "SELECT * FROM "
           "STAMPA_CLIENTE_CONTABILE(:CODICE_PAESE,:STATUS,:AGENTE,:ZONA,:REGIONE,:VETTORE,:"
           "CATEGORIA,:GRUPPO,:ORDINE,:ID_DITTE,:ID_ANNO);",
           kStampaClienteContabileFields, kStampaClienteContabileParams),
    Report("qStampa_Ditta_Header", "Stampa_Ditta_Header",
           "SELECT * FROM STAMPA_DITTA_HEADER(:ID_DITTA)", kStampaDittaHeaderFields,
           kStampaDittaHeaderParams),
    Report("qStampa_Lista_Pdc", "Stampa_Lista_Pdc",
           "SELECT * FROM STAMPA_LISTA_PDC (   :ID_DITTE,     :IN_TIPO,     :ANNO,     "
           ":LIVELLO,     :FORNITORE,     :CLIENTE)",
           kStampaListaFields, kStampaListaParams),
    Report("qStampa_Lista_Pdc_XCC", "Stampa_Lista_Pdc_XCC",
           "SELECT * FROM STAMPA_LISTA_PDC_XCC (   :ID_DITTE,     :IN_TIPO,      :ANNO,     "
           ":LIVELLO,     :DAMASTRO,     :DACONTO,     :DASOTTOCONTO,     :DADETTAGLIO,     "
           ":AMASTRO,     :ACONTO,     :ASOTTOCONTO,     :ADETTAGLIO,     :FORNITORE,     "
           ":CLIENTE)",
           kStampaListaFields, kStampaListaRangeParams),
    Report("qStampa_Lista_Pdc_TOT", "Stampa_Lista_Pdc_TOT",
           "SELECT * FROM STAMPA_LISTA_PDC_TOT (   :ID_DITTE,     :IN_TIPO,      :ANNO,     "
           ":LIVELLO,     :FORNITORE,     :CLIENTE)",
           kStampaListaTotFields, kStampaListaParams),
    Report("qStampa_Lista_Pdc_TOT_XCC", "Stampa_Lista_Pdc_TOT_XCC",
           "SELECT * FROM STAMPA_LISTA_PDC_TOT_XCC (   :ID_DITTE,     :IN_TIPO,     :ANNO,     "
           ":LIVELLO,     :DAMASTRO,     :DACONTO,     :DASOTTOCONTO,     :DADETTAGLIO,     "
           ":AMASTRO,     :ACONTO,     :ASOTTOCONTO,     :ADETTAGLIO,     :FORNITORE,     "
           ":CLIENTE)",
           kStampaListaTotFields, kStampaListaRangeParams),
    Report("qStampa_Situazione", "Stampa_Situazione",
           "Select * from Stampa_Situazione(:ID_DITTE, :IN_TIPO, :ANNO, :LIVELLO, :FORNITORI, "
           ":CLIENTI)",
           kStampaListaTotFields, kStampaSituazioneParams),
    Report("qStampa_Situazione_XCC", "Stampa_Situazione_XCC",
           "SELECT * FROM STAMPA_SITUAZIONE_XCC (   :ID_DITTE,     :IN_TIPO,     :ANNO,     "
           ":LIVELLO,     :DAMASTRO,     :DACONTO,     :DASOTTOCONTO,     :DADETTAGLIO,     "
           ":AMASTRO,     :ACONTO,     :ASOTTOCONTO,     :ADETTAGLIO,     :FORNITORE,     "
           ":CLIENTE)",
           kStampaListaTotFields, kStampaListaRangeParams),
};

constexpr SetQueryIndex kSetQueryIndexes[] = {
    {0, "qSelect"},
    {1, "qSelect_1"},
    {2, "qSelect_2"},
    {3, "qSelect_3"},
    {4, "qSelect_4"},
    {5, "qSelect_5"},
    {6, "qSelect_6"},
    {7, "qSelect_7"},
    {8, "qSelect_8"},
    {11, "qSelectMovimentiContabili"},
    {12, "qSelectMovimentiIVA"},
    {13, "qSelectArticoli"},
    {14, "qSelectArticoliPro"},
    {15, "qSelectGruppi"},
    {16, "qSelectGruppiPro"},
    {17, "qSelectAgenti"},
    {18, "qSelectAgentiPro"},
    {19, "qSelectClientiPro"},
    {20, "qSelectBolle"},
    {21, "qSelectBolMov"},
    {22, "qSelectFatture"},
    {23, "qSelectFatMov"},
    {24, "qSelectMovmag"},
    {25, "qSelectMovdet"},
    {26, "qSelectTotfat"},
    {27, "qSelectEffetti"},
    {28, "qSelectOrdCli"},
    {29, "qSelectOrdCliMov"},
    {30, "qSelectOrdFor"},
    {31, "qSelectOrdForMov"},
    {32, "qSelectPreventivi"},
    {33, "qSelectPreveMov"},
    {34, "qSelectContratti"},
    {35, "qSelectClientiDitte"},
    {36, "qSelectFornitoriDitte"},
    {37, "qSelectMovimentiRA"},
    {38, "qSelectMovCommesse"},
    {39, "qSelectComuni"},
    {40, "qSelectFatEnergia"},
    {41, "qSelectClientiNote"},
    {42, "qSelectFornitoriNote"},
    {43, "qSelectCondVend"},
    {44, "qSelectScadenze"},
    {45, "qSelectCondVendGru"},
    {46, "qSelectCespiti"},
    {47, "qSelectElencoCli"},
    {48, "qSelectElencoFor"},
    {49, "qSelectTipoCespiti"},
    {50, "qSelectBonifici"},
    {51, "qSelectNoleggi"},
    {52, "qSelectNoleggiMov"},
    {53, "qSelectArticoli_Componenti"},
    {54, "qSelectSchedaDiTrasporto"},
    {55, "qSelectArticoli_Note"},
    {56, "qSelectCausali770"},
    // 57 and 58 are second names for the customer and supplier lists.
    {57, "qSelectElencoCli"},
    {58, "qSelectElencoFor"},
    {59, "qSelectEleCli2011"},
    {60, "qSelectEleCliMov2011"},
    {61, "qSelectEleFor2011"},
    {62, "qSelectEleForMov2011"},
    {63, "qSelectEleCli2012"},
    {64, "qSelectEleCliMov2012"},
    {65, "qSelectEleFor2012"},
    {66, "qSelectEleForMov2012"},
    {67, "qSelectQuadroVP"},
    {68, "qSelectEleCli2017"},
    {69, "qSelectEleCliMov2017"},
    {70, "qSelectEleFor2017"},
    {71, "qSelectEleForMov2017"},
};

}  // namespace

std::span<const QueryDef> Queries() { return kQueries; }

std::span<const SetQueryIndex> SetQueryIndexes() { return kSetQueryIndexes; }

}  // namespace orvala::catalogue
