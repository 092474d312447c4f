// The update hook of SelectFornitoriDitte: supplier-per-company rows are
// written through the catalogue's own three statements, which find a row by
// its key (ID_FORNITORI, ID_DITTE) instead of by all its old values.
#pragma once

#include "catalogue/query_module.h"
#include "providers/resolver.h"

namespace orvala::providers {

// The hook applies modified, inserted and deleted rows with
// qUpdateFornitoriDitte, qInsertFornitoriDitte and qDeleteFornitoriDitte.
// A row that these statements cannot take (a field they have no parameter
// for, a parameter that no field of the row supplies, a failing statement)
// is declined and goes to the resolver's own statement. A statement that
// finds no row fails the row: the row was changed or deleted meanwhile.
UpdateHook SupplierLinkHook(catalogue::QueryModule& catalogue);

}  // namespace orvala::providers
