// Writes the LV2 bundle's manifest.ttl, talvane_gate.ttl and presets.ttl from the
// port and preset tables:
// write_ttl FOLDER BINARY (BINARY: the plug-in library's file name in the bundle).
#include <cstdio>
#include <string>

#include "plugin_names.hpp"

namespace talvane::plugin {

namespace {

const char* const kPrefixes =
    "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
    "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix opts: <http://lv2plug.in/ns/ext/options#> .\n"
    "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
    "@prefix bufsz: <http://lv2plug.in/ns/ext/buf-size#> .\n"
    "@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
    "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix units: <http://lv2plug.in/ns/extensions/units#> .\n"
    "@prefix urid: <http://lv2plug.in/ns/ext/urid#> .\n\n";

// A float as the shortest plain decimal (no exponent) that reads back as the same
// float; nine significant digits always do.
std::string number(float value) {
    char text[32];
    for (int digits = 1; digits < 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
        if (std::string(text).find('e') == std::string::npos && std::stof(text) == value) return text;
    }
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    return text;
}

// Text inside a Turtle string: the tables hold no quote or backslash.
std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string unit_line(ControlUnit unit) {
    switch (unit) {
        case ControlUnit::db: return "        units:unit units:db ;\n";
        case ControlUnit::ms: return "        units:unit units:ms ;\n";
        case ControlUnit::coef: return "        units:unit units:coef ;\n";
        case ControlUnit::none: break;
    }
    return "";
}

std::string kind_lines(ControlKind kind, std::span<const Choice> choices) {
    std::string out;
    if (kind == ControlKind::toggle) out += "        lv2:portProperty lv2:toggled ;\n";
    if (kind == ControlKind::integer) out += "        lv2:portProperty lv2:integer ;\n";
    if (kind == ControlKind::choice) out += "        lv2:portProperty lv2:integer, lv2:enumeration ;\n";
    for (const Choice& choice : choices) {
        out += "        lv2:scalePoint [ rdfs:label " + quoted(choice.label) + " ; rdf:value " + number(choice.value) +
               " ] ;\n";
    }
    return out;
}

std::string port_head(const char* types, std::size_t index, const std::string& symbol, const std::string& name) {
    return "    [\n        a " + std::string(types) + " ;\n        lv2:index " + std::to_string(index) +
           " ;\n        lv2:symbol " + quoted(symbol) + " ;\n        lv2:name " + quoted(name) + " ;\n";
}

std::string control_port(std::size_t index, const ControlSpec& spec) {
    std::string out = port_head("lv2:InputPort, lv2:ControlPort", index, spec.symbol, spec.name);
    out += "        lv2:default " + number(spec.fallback) + " ;\n        lv2:minimum " + number(spec.min) +
           " ;\n        lv2:maximum " + number(spec.max) + " ;\n";
    out += unit_line(spec.unit) + kind_lines(spec.kind, spec.choices);
    if (&spec == &kControls[kEnabled]) out += "        lv2:designation lv2:enabled ;\n";
    return out + "        rdfs:comment " + quoted(spec.comment) + "\n    ]";
}

std::string meter_port(std::size_t index, const MeterSpec& spec) {
    std::string out = port_head("lv2:OutputPort, lv2:ControlPort", index, spec.symbol, spec.name);
    out += "        lv2:minimum " + number(spec.min) + " ;\n        lv2:maximum " + number(spec.max) + " ;\n";
    out += unit_line(spec.unit) + kind_lines(spec.kind, {});
    return out + "        rdfs:comment " + quoted(spec.comment) + "\n    ]";
}

std::string plugin(std::size_t channels) {
    std::string out = "<" + std::string(kUris[channels - 1]) + ">\n    a lv2:Plugin, lv2:GatePlugin ;\n";
    out += "    doap:name " + quoted(kNames[channels - 1]) + " ;\n";
    out += "    doap:license <https://spdx.org/licenses/MIT> ;\n";
    out += "    lv2:optionalFeature lv2:hardRTCapable, urid:map, opts:options ;\n";
    out += "    opts:supportedOption bufsz:maxBlockLength ;\n    lv2:port\n";
    std::size_t index = 0;
    for (const bool output : {false, true}) {
        for (std::size_t c = 0; c < channels; ++c, ++index) {
            out += port_head(output ? "lv2:OutputPort, lv2:AudioPort" : "lv2:InputPort, lv2:AudioPort", index,
                             audio_port_symbol(output, c, channels), audio_port_name(output, c, channels));
            out += "    ] ,\n";
        }
    }
    for (std::size_t id = 0; id < kControlCount; ++id, ++index) out += control_port(index, kControls[id]) + " ,\n";
    for (std::size_t id = 0; id < kMeterCount; ++id, ++index) {
        out += meter_port(index, kMeters[id]) + (id + 1 < kMeterCount ? " ,\n" : " .\n\n");
    }
    return out;
}

std::string preset_uri(std::size_t channels, const PresetSpec& preset) {
    return std::string(kUris[channels - 1]) + ":preset:" + preset.name;
}

// A preset's head: what it is and which plug-in it applies to.
std::string preset_head(std::size_t channels, const PresetSpec& preset) {
    std::string out = "<";  // built by appending: GCC 12 warns falsely of "<" + a temporary
    out += preset_uri(channels, preset);
    return out + ">\n    a pset:Preset ;\n    lv2:appliesTo <" + kUris[channels - 1] + "> ;\n";
}

// A preset sets every control but the bypass.
std::string preset(std::size_t channels, const PresetSpec& spec) {
    std::string out = preset_head(channels, spec) + "    rdfs:label " + quoted(spec.name) + " ;\n    lv2:port";
    for (std::size_t id = kEnabled + 1; id < kControlCount; ++id) {
        out += std::string(id == kEnabled + 1 ? " " : " ,\n        ") + "[ lv2:symbol " + quoted(kControls[id].symbol) +
               " ; pset:value " + number(spec.values[id]) + " ]";
    }
    return out + " .\n\n";
}

bool write(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    const bool written = std::fputs(text.c_str(), file) >= 0;
    return std::fclose(file) == 0 && written;
}

}  // namespace

}  // namespace talvane::plugin

int main(int argc, char** argv) {
    using namespace talvane::plugin;
    if (argc != 3) {
        std::fprintf(stderr, "usage: write_ttl FOLDER BINARY\n");
        return 2;
    }
    const std::string folder = argv[1], binary = argv[2];
    std::string manifest = kPrefixes, presets = kPrefixes;
    for (const char* uri : kUris) {
        manifest += "<" + std::string(uri) + ">\n    a lv2:Plugin ;\n    lv2:binary <" + binary +
                    "> ;\n    rdfs:seeAlso <talvane_gate.ttl> .\n\n";
    }
    for (std::size_t channels = 1; channels <= kUris.size(); ++channels) {
        for (const PresetSpec& spec : kPresets) {
            manifest += preset_head(channels, spec) + "    rdfs:seeAlso <presets.ttl> .\n\n";
            presets += preset(channels, spec);
        }
    }
    const std::string description = kPrefixes + plugin(1) + plugin(2);
    if (!write(folder + "/manifest.ttl", manifest) || !write(folder + "/talvane_gate.ttl", description) ||
        !write(folder + "/presets.ttl", presets)) {
        std::fprintf(stderr, "write_ttl: cannot write into %s\n", folder.c_str());
        return 1;
    }
    return 0;
}
