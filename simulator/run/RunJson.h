// The JSON forms of a run's options and of the request and result that
// pass between the run and its part inside the instrument root.
//
// Texts (paths, tar's list of names) travel unchanged whatever their bytes:
// a text that is not UTF-8 is written as the array of its byte values.
#ifndef SWSIM_RUN_JSON_H
#define SWSIM_RUN_JSON_H

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "SimInside.h"
#include "SimRun.h"

namespace swsim {

// Missing keys keep the defaults of the struct; anything but an object, or a
// value of the wrong type, throws nlohmann::json::exception.
void to_json(nlohmann::json& j, const RunOptions& o);
void from_json(const nlohmann::json& j, RunOptions& o);
void to_json(nlohmann::json& j, const InsideRequest& r);
void from_json(const nlohmann::json& j, InsideRequest& r);
void to_json(nlohmann::json& j, const InsideResult& r);
void from_json(const nlohmann::json& j, InsideResult& r);

// The JSON texts of a request and a result, and back. The readers return
// false with the reason in *why when `text` is no such JSON.
std::string InsideRequestJson(const InsideRequest& r);
bool InsideRequestFromJson(const std::string& text, InsideRequest* r, std::string* why);
std::string InsideResultJson(const InsideResult& r);
bool InsideResultFromJson(const std::string& text, InsideResult* r, std::string* why);

}  // namespace swsim

#endif
