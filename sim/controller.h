// The simulated housing controller: its settings and readings, and the
// text it answers each command with.
#pragma once

#include <string>

struct controller_state {
    std::string led_mode;  // "on", "off", "auto"
    int led_power;         // %
    float led_temp;
    int led_lxon, led_lxoff, led_tmax, led_pbo;
    std::string th_mode;  // "on", "off"
    int th_power, th_ton, th_toff, th_temp;
    std::string ph_mode;
    int ph_power, ph_ton, ph_temp;
    std::string fan_mode;  // "on", "off", "auto"
    std::string cam_mode;  // "on", "off", "auto"
    int cam_temp;
    float cam_voltage, cam_current, cam_power;
    int lux;
    float temp, voltage, current, power;

    bool asked_default;  // "default" was asked; a lone "y" confirms
    int saves;           // save commands taken
    int reboots;         // reboot commands taken
};

/// The controller's factory settings and a plausible set of readings.
controller_state controller_defaults();

/// The controller's answer to one command (the line without its line end):
/// the text it prints before its prompt. Sets *prompt to whether the prompt
/// follows; the defaults question waits for "y" without one. Settings
/// change the state, so the next query shows them.
std::string controller_answer(controller_state &state, const std::string &command, bool *prompt);
