// What the keys do: registration with the keyboard library, and the six
// playback actions on the host's current player, each confirmed aloud.
//
// An action runs on whatever thread the keyboard library delivers the key
// press on and never lets an error out: a failure is one error line with its
// traceback, and the user hears nothing for that press. The player call comes
// before the speech, so the speech confirms a call that returned.
#include "shortcut_hub.hpp"

#include <functional>

namespace velmora::shortcut_hub {
namespace {

using vm::Args;

// A Spotify player is one on which `spotify_client` can be read.
bool has(py::handle obj, py::handle name) { return bool(vm::readable_attr(obj, name)); }
bool is_spotify(py::handle player) { return has(player, VM_STR("spotify_client")); }

void say(py::handle self, py::handle text) {
    self.attr("accessibility").attr("speak")(text, py::arg("interrupt") = true);
}

py::object register_hotkeys(py::module_& m, const Args& a) {
    py::handle self = a.self();
    self.attr("keymap") = self.attr("load_keymap")();
    py::object enabled = config().attr("get")("global_hotkeys_enabled", true);
    if (!vm::truthy(enabled)) {
        logger(m).attr("info")("Global hotkeys disabled - hotkeys will only work when Velmora has focus");
        return py::none();
    }
    try {
        // Keys registered before a failing one stay registered.
        for (const Action& action : kActions) {
            py::object keys = self.attr("keymap")[py::str(action.name)];
            self.attr("handler").attr("register_key")(keys, self.attr(action.method));
        }
        logger(m).attr("info")("Successfully registered all global hotkeys");
    } catch (py::error_already_set& e) {
        if (!vm::is_exception(e)) throw;
        vm::log_with_traceback(logger(m), "error", vm::text("Error registering hotkeys: ", vm::error_str(e)), e);
    }
    return py::none();
}

py::object unregister_all_keys(py::module_& m, const Args& a) {
    py::object handler = a.self().attr("handler");
    if (!vm::truthy(handler)) return py::none();
    try {
        handler.attr("unregister_all_keys")();
        logger(m).attr("info")("Unregistered all hotkeys");
    } catch (py::error_already_set& e) {
        if (!vm::is_exception(e)) throw;
        vm::log_with_traceback(logger(m), "error", vm::text("Error unregistering hotkeys: ", vm::error_str(e)), e);
    }
    return py::none();
}

py::object valid_player(const Args& a) {
    py::object window = a.self().attr("main_window");
    py::object player = vm::truthy(window.attr("active_player")) ? window.attr("active_player")
                                                                  : window.attr("media_player");
    if (player.is_none()) return player;
    // A Spotify player counts whether or not anything is loaded.
    if (is_spotify(player)) return player;
    // A local player with a sound whose handle is None has nothing loaded.
    if (py::object sound = vm::readable_attr(player, VM_STR("_sound"))) {
        py::object handle = vm::readable_attr(sound, VM_STR("handle"));
        if (handle && handle.is_none()) return py::none();
    }
    return player;
}

// The frame of every action: the current player or "No media loaded", then
// `body`, with any error logged under the action's method name.
vm::Body action(py::module_ m, const char* name, std::function<void(py::handle self, py::handle player)> body) {
    return [m, name, body](const Args& a) -> py::object {
        py::handle self = a.self();
        try {
            py::object player = self.attr("_get_valid_player")();
            if (player.is_none())
                say(self, VM_STR("No media loaded"));
            else
                body(self, player);
        } catch (py::error_already_set& e) {
            if (!vm::is_exception(e)) throw;
            vm::log_with_traceback(logger(m), "error",
                                   vm::text("Error in ", name, " hotkey: ", vm::error_str(e)), e);
        }
        return py::none();
    };
}

// next_track / previous_track: the track change of a Spotify player that has
// one, else the player's own skip.
std::function<void(py::handle, py::handle)> track_change(const char* method, const char* spoken, const char* skip,
                                                         const char* skip_spoken) {
    return [=](py::handle self, py::handle player) {
        if (has(player, py::str(method)) && is_spotify(player)) {
            player.attr(method)();
            say(self, py::str(spoken));
        } else {
            player.attr(skip)();
            say(self, py::str(skip_spoken));
        }
    };
}

// One volume step. Spotify players count in percent (0 to 100, steps of 1),
// local players in decibels (-40 to 0, steps of 5); a step that reaches or
// passes its bound lands on the bound.
struct VolumeStep {
    int spotify_step, spotify_bound, local_step, local_bound;
};

py::object stepped(py::handle current, int step, int bound) {
    py::object next = vm::steal(PyNumber_Add(current.ptr(), py::int_(step).ptr()));
    const bool within = vm::compare(next, py::int_(bound), step > 0 ? Py_LT : Py_GT);
    return within ? next : py::int_(bound);
}

std::function<void(py::handle, py::handle)> change_volume(py::module_ m, VolumeStep rule) {
    return [m, rule](py::handle self, py::handle player) {
        py::object current = player.attr("get_volume")();
        if (current.is_none()) {
            say(self, VM_STR("No media loaded"));
            return;
        }
        py::object spoken;
        if (is_spotify(player)) {
            py::object volume = stepped(current, rule.spotify_step, rule.spotify_bound);
            player.attr("set_volume")(volume);
            spoken = vm::steal(PyNumber_Long(volume.ptr()));  // the fraction dropped toward zero
        } else {
            py::object volume = stepped(current, rule.local_step, rule.local_bound);
            player.attr("set_volume")(volume);
            spoken = vm::global(m, "db_to_percentage")(volume);
        }
        say(self, vm::text("Volume ", spoken, " percent"));
    };
}

}  // namespace

void add_action_methods(vm::ClassBuilder& b, py::module_& m) {
    using vm::self;
    b.method("register_hotkeys", {self()}, [m](const Args& a) mutable { return register_hotkeys(m, a); },
             "Register the global hotkeys of the key map with the keyboard library.");
    b.method("unregister_all_keys", {self()}, [m](const Args& a) mutable { return unregister_all_keys(m, a); },
             "Unregister every global hotkey.");
    b.method("_get_valid_player", {self()}, valid_player, "Get the current player, or None when nothing is loaded.");

    b.method("play_pause", {self()}, action(m, "play_pause", [](py::handle self, py::handle player) {
                 if (vm::truthy(player.attr("is_playing")())) {
                     player.attr("pause")();
                     say(self, VM_STR("Paused"));
                 } else {
                     player.attr("play")();
                     say(self, VM_STR("Playing"));
                 }
             }),
             "Toggle play and pause.");
    b.method("stop", {self()}, action(m, "stop", [](py::handle self, py::handle player) {
                 player.attr("stop")();
                 say(self, VM_STR("Stopped"));
             }),
             "Stop playback.");
    b.method("next_track", {self()},
             action(m, "next_track", track_change("next_track", "Next track", "skip_forward", "Skip forward")),
             "Go to the next track, or skip forward.");
    b.method("previous_track", {self()},
             action(m, "previous_track",
                    track_change("previous_track", "Previous track", "skip_backward", "Skip backward")),
             "Go to the previous track, or skip backward.");
    b.method("volume_up", {self()}, action(m, "volume_up", change_volume(m, {1, 100, 5, 0})),
             "Turn the volume up.");
    b.method("volume_down", {self()}, action(m, "volume_down", change_volume(m, {-1, 0, -5, -40})),
             "Turn the volume down.");
}

}  // namespace velmora::shortcut_hub
