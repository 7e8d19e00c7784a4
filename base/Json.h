// A small JSON reader for the files Quarrow reads without Qt (areas as GeoJSON): the whole text
// into a tree of values.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quarrow {

struct JsonValue;
using JsonArray = std::vector<JsonValue>;
using JsonObject = std::map<std::string, JsonValue, std::less<>>;

struct JsonValue {
    std::variant<std::nullptr_t, bool, double, std::string, JsonArray, JsonObject> Value;

    bool IsObject() const { return std::holds_alternative<JsonObject>(Value); }
    bool IsArray() const { return std::holds_alternative<JsonArray>(Value); }
    bool IsNumber() const { return std::holds_alternative<double>(Value); }
    bool IsString() const { return std::holds_alternative<std::string>(Value); }
    // The member of an object; nullptr when this is no object or has no such member.
    const JsonValue* Find(std::string_view name) const;
    // Empty for what is not an array or a string.
    const JsonArray& Array() const;
    const std::string& String() const;
    double Number() const { return IsNumber() ? std::get<double>(Value) : 0; }
};

// The value of the text, or the reason it is no JSON with the place where that shows.
struct JsonParse {
    std::optional<JsonValue> Value;
    std::string Error;
};
JsonParse ParseJson(std::string_view text);

// A JSON string literal of the text, quotes included.
std::string JsonString(std::string_view text);

} // namespace quarrow
