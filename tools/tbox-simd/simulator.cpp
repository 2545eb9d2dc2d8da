#include "simulator.h"

#include <fstream>
#include <iterator>

#include "sim_gdbus.h"

namespace tbox::sim {
namespace {

// Records each method call on a ky.* interface other than the control interface. Runs in GDBus's
// worker thread, hence the journal's lock.
GDBusMessage *record_call(GDBusConnection *, GDBusMessage *message, gboolean incoming, gpointer data) {
    if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL) return message;
    const char *iface = g_dbus_message_get_interface(message);
    if (iface == nullptr || !g_str_has_prefix(iface, "ky.") || g_strcmp0(iface, "ky.sim") == 0) return message;
    GVariant *body = g_dbus_message_get_body(message);
    gchar *args = body != nullptr ? g_variant_print(body, FALSE) : g_strdup("()");
    (*static_cast<std::shared_ptr<Journal> *>(data))
        ->add(std::string(iface) + " " + g_dbus_message_get_member(message) + " " + args);
    g_free(args);
    return message;
}

std::string join(const std::string &name, const std::vector<std::string> &args) {
    std::string out = name;
    for (const auto &a : args) {
        const bool quote = a.empty() || a.find_first_of(" \t\"\\") != std::string::npos;
        if (!quote) {
            out += " " + a;
            continue;
        }
        out += " \"";
        for (const char c : a) {
            if (c == '"' || c == '\\') out.push_back('\\');
            out.push_back(c);
        }
        out += "\"";
    }
    return out;
}

// A NULL-terminated array of the strings' texts (valid while `strings` lives).
std::vector<const gchar *> strv(const std::vector<std::string> &strings) {
    std::vector<const gchar *> out;
    out.reserve(strings.size() + 1);
    for (const auto &s : strings) out.push_back(s.c_str());
    out.push_back(nullptr);
    return out;
}

// A signal's arguments or a property's value, written as GVariant text (g_variant_print without type
// annotations) and read back with the type the interface declares, so every value the bus can carry,
// byte arrays and strings with quotes, newlines or any character among them, comes out as it went in.
GVariant *parse_value(const std::string &type, const std::string &text, std::string &error) {
    GError *gerror = nullptr;
    GVariant *value = g_variant_parse(G_VARIANT_TYPE(type.c_str()), text.c_str(), nullptr, nullptr, &gerror);
    if (value == nullptr) {
        error = "\"" + text + "\" is not a value of type " + type + " (" + gerror->message + ")";
        g_error_free(gerror);
    }
    return value;
}

// The tuple type of a signal's arguments, "" when the interface has no such signal.
std::string signal_type(GDBusInterfaceSkeleton *skeleton, const std::string &name) {
    const GDBusSignalInfo *info =
        g_dbus_interface_info_lookup_signal(g_dbus_interface_skeleton_get_info(skeleton), name.c_str());
    if (info == nullptr) return "";
    std::string type = "(";
    for (GDBusArgInfo **arg = info->args; arg != nullptr && *arg != nullptr; ++arg) type += (*arg)->signature;
    return type + ")";
}

// The generated skeleton's GObject property behind a D-Bus property (codegen makes its nick the D-Bus name).
GParamSpec *skeleton_property(GDBusInterfaceSkeleton *skeleton, const std::string &name) {
    guint count = 0;
    GParamSpec **properties = g_object_class_list_properties(G_OBJECT_GET_CLASS(skeleton), &count);
    GParamSpec *found = nullptr;
    for (guint i = 0; i < count && found == nullptr; ++i) {
        if (name == g_param_spec_get_nick(properties[i])) found = properties[i];
    }
    g_free(properties);
    return found;
}

// Reads `emit SIGNAL ARGS` or `property NAME VALUE` of one service; the value is the caller's to unref.
GVariant *generic_value(GDBusInterfaceSkeleton *skeleton, bool emit, const Args &args, std::string &error) {
    const std::string &name = args.text(0);
    const char *iface = g_dbus_interface_skeleton_get_info(skeleton)->name;
    std::string type;
    if (emit) {
        type = signal_type(skeleton, name);
    } else {
        const GDBusPropertyInfo *info =
            g_dbus_interface_info_lookup_property(g_dbus_interface_skeleton_get_info(skeleton), name.c_str());
        if (info != nullptr && skeleton_property(skeleton, name) != nullptr) type = info->signature;
    }
    if (type.empty()) {
        error = std::string(iface) + " has no " + (emit ? "signal " : "property ") + name;
        return nullptr;
    }
    return parse_value(type, args.has(1) ? args.text(1) : "()", error);
}

std::string emit_signal(GDBusConnection *connection, GDBusInterfaceSkeleton *skeleton, const char *path,
                        const Args &args) {
    std::string error;
    GVariant *value = generic_value(skeleton, true, args, error);
    if (value == nullptr) return error;
    GError *gerror = nullptr;
    if (connection == nullptr ||
        !g_dbus_connection_emit_signal(connection, nullptr, path, g_dbus_interface_skeleton_get_info(skeleton)->name,
                                       args.text(0).c_str(), value, &gerror)) {
        error = gerror != nullptr ? gerror->message : "not connected";
        g_clear_error(&gerror);
    }
    g_variant_unref(value);
    return error;
}

std::string set_property(GDBusInterfaceSkeleton *skeleton, const Args &args) {
    std::string error;
    GVariant *value = generic_value(skeleton, false, args, error);
    if (value == nullptr) return error;
    GParamSpec *property = skeleton_property(skeleton, args.text(0));
    GValue given = G_VALUE_INIT, wanted = G_VALUE_INIT;
    g_dbus_gvariant_to_gvalue(value, &given);
    g_value_init(&wanted, G_PARAM_SPEC_VALUE_TYPE(property));
    if (g_value_transform(&given, &wanted)) {
        g_object_set_property(G_OBJECT(skeleton), g_param_spec_get_name(property), &wanted);
        // PropertiesChanged now, not on the next idle, so the spacing of a replay holds.
        g_dbus_interface_skeleton_flush(skeleton);
    } else {
        error = "cannot set " + args.text(0) + " from " + args.text(1);
    }
    g_value_unset(&given);
    g_value_unset(&wanted);
    g_variant_unref(value);
    return error;
}

}  // namespace

Simulator::Simulator(Options options) : options_(std::move(options)) {
    services_.push_back(make_at_service(*this));
    services_.push_back(make_bt_service(*this));
    services_.push_back(make_ecall_service(*this));
    services_.push_back(make_gb_service(*this));
    services_.push_back(make_gnss_service(*this));
    services_.push_back(make_gsensor_service(*this));
    services_.push_back(make_monitor_service(*this));
    services_.push_back(make_net_service(*this));
    services_.push_back(make_param_service(*this));
    services_.push_back(make_pm_service(*this));
    services_.push_back(make_update_service(*this));
    services_.push_back(make_wifi_service(*this));
    if (options_.queues) {
        services_.push_back(make_mcu_queue_service(*this));
        services_.push_back(make_config_queue_service(*this));
    }
    // Every bus service also takes the two verbs a recording is written in (tboxctl record).
    for (auto &service : services_) {
        GDBusInterfaceSkeleton *skeleton = service->skeleton();
        if (skeleton == nullptr) continue;
        const char *path = service->object_path();
        auto &own = generic_[service->prefix()];
        own.push_back({"emit", "signal:s arguments:s?",
                       "emit this signal with these arguments, as GVariant text: (1, 'text', [0x01, 0x02])",
                       [this, skeleton, path](const Args &a) { return emit_signal(connection_, skeleton, path, a); },
                       [skeleton](const Args &a) {
                           std::string error;
                           GVariant *value = generic_value(skeleton, true, a, error);
                           if (value != nullptr) g_variant_unref(value);
                           return error;
                       }});
        own.push_back({"property", "name:s value:s", "set this property (PropertiesChanged follows on a change)",
                       [skeleton](const Args &a) { return set_property(skeleton, a); },
                       [skeleton](const Args &a) {
                           std::string error;
                           GVariant *value = generic_value(skeleton, false, a, error);
                           if (value != nullptr) g_variant_unref(value);
                           return error;
                       }});
    }
}

Simulator::~Simulator() {
    timers_.cancel_all();
    for (const unsigned owner : owners_) g_bus_unown_name(owner);
    for (auto &service : services_) {
        GDBusInterfaceSkeleton *skeleton = service->skeleton();
        if (skeleton != nullptr && g_dbus_interface_skeleton_get_connection(skeleton) != nullptr) {
            g_dbus_interface_skeleton_unexport(skeleton);
        }
    }
    if (control_ != nullptr) {
        auto *control = G_DBUS_INTERFACE_SKELETON(control_);
        if (g_dbus_interface_skeleton_get_connection(control) != nullptr) g_dbus_interface_skeleton_unexport(control);
        g_object_unref(control_);
    }
    services_.clear();
    if (connection_ != nullptr) {
        if (filter_ != 0) g_dbus_connection_remove_filter(connection_, filter_);
        g_dbus_connection_flush_sync(connection_, nullptr, nullptr);
        g_object_unref(connection_);
    }
}

void Simulator::say(const std::string &text) {
    g_print("tbox-simd: %s\n", text.c_str());
}

void Simulator::complain(const std::string &text) {
    g_printerr("tbox-simd: %s\n", text.c_str());
}

const EventSpec *Simulator::find(const std::string &name, std::string &error) const {
    const size_t dot = name.find('.');
    const std::string prefix = name.substr(0, dot);
    const std::string verb = dot == std::string::npos ? "" : name.substr(dot + 1);
    for (const auto &service : services_) {
        if (prefix != service->prefix()) continue;
        for (const auto &entry : service->events()) {
            if (entry.verb == verb) return &entry;
        }
        const auto generic = generic_.find(prefix);
        for (size_t i = 0; generic != generic_.end() && i < generic->second.size(); ++i) {
            if (generic->second[i].verb == verb) return &generic->second[i];
        }
        error = "unknown event " + name + " (ky.sim Events lists them)";
        return nullptr;
    }
    error = prefix == "mcu" || prefix == "config" ? "event " + name + " needs the queue services (--queues)"
                                                  : "unknown event " + name + " (no service \"" + prefix + "\")";
    return nullptr;
}

std::string Simulator::run(const std::string &name, const std::vector<std::string> &args) {
    std::string error;
    const EventSpec *entry = find(name, error);
    if (entry == nullptr) return error;
    error = check_args(entry->params, args);
    if (!error.empty()) return name + ": " + error;
    error = entry->run(Args(args));
    if (!error.empty()) return name + ": " + error;
    const std::string text = join(name, args);
    say("event " + text);
    if (control_ != nullptr) ky_sim_emit_event_ran(static_cast<KySim *>(control_), text.c_str());
    return "";
}

std::string Simulator::inject(const std::string &text) {
    std::string name;
    std::vector<std::string> args;
    const std::string error = split_event(text, name, args);
    return error.empty() ? run(name, args) : error;
}

std::vector<std::string> Simulator::event_list() const {
    std::vector<std::string> out;
    for (const auto &service : services_) {
        for (const auto &entry : service->events()) {
            std::string line = std::string(service->prefix()) + "." + entry.verb;
            if (!entry.params.empty()) line += " " + entry.params;
            out.push_back(line + "  - " + entry.help);
        }
        const auto generic = generic_.find(service->prefix());
        for (size_t i = 0; generic != generic_.end() && i < generic->second.size(); ++i) {
            const EventSpec &entry = generic->second[i];
            out.push_back(std::string(service->prefix()) + "." + entry.verb + " " + entry.params + "  - " + entry.help);
        }
    }
    return out;
}

std::string Simulator::load_scenario() {
    std::ifstream in(options_.scenario, std::ios::binary);
    if (!in) return "cannot read scenario " + options_.scenario;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> errors;
    std::vector<ScenarioEvent> events = parse_scenario(text, options_.scenario, errors);
    for (auto &event : events) {
        std::string error;
        const EventSpec *entry = find(event.name, error);
        if (entry != nullptr) error = check_args(entry->params, event.args);
        if (entry != nullptr && error.empty() && entry->check) error = entry->check(Args(event.args));
        if (error.empty()) {
            scenario_.push_back(std::move(event));
        } else {
            errors.push_back(options_.scenario + ":" + std::to_string(event.line) + ": " +
                             (entry != nullptr ? event.name + ": " : "") + error);
        }
    }
    for (const auto &e : errors) complain(e + " (line skipped)");
    say("scenario " + options_.scenario + ": " + std::to_string(scenario_.size()) + " events");
    return "";
}

void Simulator::play_next() {
    // Every event due by now runs in file order; then one timer for the next due time.
    while (next_event_ < scenario_.size()) {
        const ScenarioEvent &event = scenario_[next_event_];
        // Due times count from the start, so a timer's lateness never adds up along the scenario.
        const gint64 due_us = scenario_start_us_ + static_cast<gint64>(static_cast<double>(event.at_ms) * 1000.0 /
                                                                       (options_.speed > 0 ? options_.speed : 1));
        const gint64 now = g_get_monotonic_time();
        if (due_us > now) {
            timers_.after(static_cast<unsigned>((due_us - now + 999) / 1000), [this] { play_next(); });
            return;
        }
        ++next_event_;
        const std::string error = run(event.name, event.args);
        if (!error.empty()) complain(options_.scenario + ":" + std::to_string(event.line) + ": " + error);
    }
    if (!scenario_.empty()) say("scenario finished");
}

void Simulator::became_ready() {
    for (auto &service : services_) {
        const std::string error = service->start();
        if (!error.empty()) {
            finished_ = true;
            if (done_) done_(error);
            return;
        }
    }
    finished_ = true;
    say("ready");
    if (done_) done_("");
    scenario_start_us_ = g_get_monotonic_time();
    if (!scenario_.empty()) play_next();
}

bool Simulator::start(std::string &error, std::function<void(const std::string &)> done) {
    done_ = std::move(done);
    if (!options_.scenario.empty()) {
        error = load_scenario();
        if (!error.empty()) return false;
    }
    GError *gerror = nullptr;
    if (!options_.address.empty()) {
        connection_ = g_dbus_connection_new_for_address_sync(
            options_.address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &gerror);
    } else {
        connection_ = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &gerror);
    }
    if (connection_ == nullptr) {
        error = std::string("cannot connect to the bus: ") + gerror->message;
        g_error_free(gerror);
        return false;
    }
    g_dbus_connection_set_exit_on_close(connection_, FALSE);
    filter_ = g_dbus_connection_add_filter(connection_, record_call, new std::shared_ptr<Journal>(journal_),
                                           [](gpointer data) { delete static_cast<std::shared_ptr<Journal> *>(data); });

    auto *control = ky_sim_skeleton_new();
    control_ = control;
    g_signal_connect(control, "handle-inject",
                     handler(+[](KySim *o, GDBusMethodInvocation *inv, const gchar *text, gpointer self) -> gboolean {
                         const std::string e = static_cast<Simulator *>(self)->inject(text);
                         if (!e.empty()) return refuse(inv, "ky.sim.Error.BadEvent", e);
                         ky_sim_complete_inject(o, inv);
                         return TRUE;
                     }),
                     this);
    g_signal_connect(control, "handle-received",
                     handler(+[](KySim *o, GDBusMethodInvocation *inv, const gchar *prefix, gpointer self) -> gboolean {
                         const auto records = static_cast<Simulator *>(self)->journal_->matching(prefix);
                         ky_sim_complete_received(o, inv, strv(records).data());
                         return TRUE;
                     }),
                     this);
    g_signal_connect(control, "handle-clear-received",
                     handler(+[](KySim *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                         static_cast<Simulator *>(self)->journal_->clear();
                         ky_sim_complete_clear_received(o, inv);
                         return TRUE;
                     }),
                     this);
    g_signal_connect(control, "handle-events",
                     handler(+[](KySim *o, GDBusMethodInvocation *inv, gpointer self) -> gboolean {
                         const auto events = static_cast<Simulator *>(self)->event_list();
                         ky_sim_complete_events(o, inv, strv(events).data());
                         return TRUE;
                     }),
                     this);

    struct Export {
        GDBusInterfaceSkeleton *skeleton;
        const char *path;
        const char *name;
    };
    std::vector<Export> exports;
    for (auto &service : services_) {
        if (service->skeleton() != nullptr)
            exports.push_back({service->skeleton(), service->object_path(), service->bus_name()});
    }
    exports.push_back({G_DBUS_INTERFACE_SKELETON(control), "/ky/sim", "ky.sim"});
    for (const auto &e : exports) {
        if (!g_dbus_interface_skeleton_export(e.skeleton, connection_, e.path, &gerror)) {
            error = std::string("cannot export ") + e.path + ": " + gerror->message;
            g_error_free(gerror);
            return false;
        }
    }
    for (const auto &e : exports) {
        owners_.push_back(g_bus_own_name_on_connection(
            connection_, e.name, G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
            [](GDBusConnection *, const gchar *name, gpointer self) {
                auto *sim = static_cast<Simulator *>(self);
                sim->say(std::string("serving ") + name);
                if (++sim->owned_ == sim->owners_.size() && !sim->finished_) sim->became_ready();
            },
            [](GDBusConnection *, const gchar *name, gpointer self) {
                auto *sim = static_cast<Simulator *>(self);
                const std::string why = std::string("cannot own ") + name + " (another service has it?)";
                if (!sim->finished_) {
                    sim->finished_ = true;
                    if (sim->done_) sim->done_(why);
                } else {
                    sim->complain("lost the name " + std::string(name));
                    if (sim->done_) sim->done_("lost the name " + std::string(name));
                }
            },
            this, nullptr));
    }
    return true;
}

}  // namespace tbox::sim
