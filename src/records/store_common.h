// What both stores share: the schema, the columns a row is read from, and
// how an open row's outcome is told. Not part of the records interface.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "records/store.h"

namespace porten::records::detail {

// The schema after its version table; idColumn is the store's own kind of
// generated key. Every name starts with "porten_": a shared database may
// hold other tables.
std::string SchemaSql(const std::string& idColumn);

// The columns Rows() selects, in the order RowFrom reads them.
extern const char kRowColumns[];

// A row from its columns as text (nullopt for NULL), the outcome resolved
// as the Store interface says.
Row RowFrom(const std::function<std::optional<std::string>(int)>& column, const Writer& self);

// The stored outcome text, or nullopt for an open row.
const char* StoredOutcome(bool written);

std::string ToText(uint64_t n);
std::string ToText(int64_t n);

}  // namespace porten::records::detail
