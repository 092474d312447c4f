// The OpenAPI 3.1 description of the HTTP endpoint (GET /v1/openapi.json),
// generated from the type library: one path per method and provider
// operation that calls reach, with its in and in-out arguments as the
// request (an array in interface order, or an object by name) and its
// result and out arguments as the reply.
#pragma once

#include "json/variant_json.h"

namespace orvala::http {

json::Json OpenApiDescription();

}  // namespace orvala::http
