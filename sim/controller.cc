#include "controller.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <sstream>
#include <vector>

controller_state controller_defaults()
{
    controller_state s{};
    s.led_mode = "on";
    s.led_power = 50;
    s.led_temp = 31.5f;
    s.led_lxon = 10;
    s.led_lxoff = 50;
    s.led_tmax = 60;
    s.led_pbo = 30;
    s.th_mode = "on";
    s.th_power = 100;
    s.th_ton = 5;
    s.th_toff = 15;
    s.th_temp = -5;
    s.ph_mode = "off";
    s.ph_power = 50;
    s.ph_ton = 0;
    s.ph_temp = 10;
    s.fan_mode = "auto";
    s.cam_mode = "auto";
    s.cam_temp = 35;
    s.cam_voltage = 12.1f;
    s.cam_current = 250.0f;
    s.cam_power = 3.0f;
    s.lux = 120;
    s.temp = -3.5f;
    s.voltage = 12.0f;
    s.current = 350.0f;
    s.power = 4.2f;
    return s;
}

static std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static std::string format(const char *fmt, ...)
{
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return text;
}

static std::string upper(const std::string &mode)
{
    return mode == "on" ? "ON" : mode == "off" ? "OFF" : "AUTO";
}

static std::string led_answer(const controller_state &s)
{
    bool lit = s.led_mode == "on" || (s.led_mode == "auto" && s.lux < s.led_lxon);
    int real = lit ? (s.led_temp > s.led_tmax ? s.led_pbo : s.led_power) : 0;
    // In automatic mode the controller adds the LED's own state.
    std::string words = s.led_mode == "auto" ? std::string("AUTO ") + (lit ? "ON" : "OFF")
                                              : upper(s.led_mode);
    return format("LED: %s Power=%d%% (%d%%) Temp=%.1f'C", words.c_str(), s.led_power, real,
                  (double)s.led_temp);
}

static std::string heater_answer(const char *name, const std::string &mode, int power, int temp,
                                 bool heating)
{
    return format("%s: %s Power=%d%% Temp=%d'C Heater: %s", name, upper(mode).c_str(), power, temp,
                  heating ? "ON" : "OFF");
}

static std::string fan_answer(const controller_state &s)
{
    if (s.fan_mode == "auto")
        return std::string("FAN: Auto ") + (s.temp > 30 ? "ON" : "OFF");
    return "FAN: " + upper(s.fan_mode) + " " + upper(s.fan_mode);
}

static std::string cam_answer(const controller_state &s)
{
    bool powered = s.cam_mode != "off";
    std::string words = s.cam_mode == "auto" ? std::string("AUTO ON") : upper(s.cam_mode);
    return format("CAM: %s Temp=%d'C Vcam=%.1fV Icam=%.1fmA Pcam=%.1fW", words.c_str(), s.cam_temp,
                  (double)s.cam_voltage, powered ? (double)s.cam_current : 0.0,
                  powered ? (double)s.cam_power : 0.0);
}

static std::vector<std::string> words_of(const std::string &command)
{
    std::istringstream in(command);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

// A settable number: "<group> <key>" reads it, "<group> <key> N" sets it.
static bool number_command(const std::vector<std::string> &w, const char *key, int *value,
                           const char *unit, std::string *answer)
{
    if (w.size() < 2 || w[1] != key)
        return false;
    if (w.size() == 3)
        *value = atoi(w[2].c_str());
    *answer = format("%d%s", *value, unit);
    return true;
}

static bool mode_command(const std::vector<std::string> &w, bool has_auto, std::string *mode)
{
    if (w.size() != 2)
        return false;
    if (w[1] == "on" || w[1] == "off" || (has_auto && w[1] == "auto")) {
        *mode = w[1];
        return true;
    }
    return false;
}

static std::string led_command(controller_state &s, const std::vector<std::string> &w)
{
    std::string answer;
    if (w.size() == 1 || mode_command(w, true, &s.led_mode))
        return led_answer(s);
    if (number_command(w, "power", &s.led_power, "%", &answer) ||
        number_command(w, "lxon", &s.led_lxon, " lx", &answer) ||
        number_command(w, "lxoff", &s.led_lxoff, " lx", &answer) ||
        number_command(w, "tmax", &s.led_tmax, "'C", &answer) ||
        number_command(w, "pbo", &s.led_pbo, "%", &answer))
        return answer;
    return "Unknown command";
}

static std::string th_command(controller_state &s, const std::vector<std::string> &w)
{
    std::string answer;
    if (w.size() == 1 || mode_command(w, false, &s.th_mode))
        return heater_answer("Thermostat", s.th_mode, s.th_power, s.th_temp,
                             s.th_mode == "on" && s.th_temp < s.th_ton);
    if (number_command(w, "power", &s.th_power, "%", &answer) ||
        number_command(w, "ton", &s.th_ton, "'C", &answer) ||
        number_command(w, "toff", &s.th_toff, "'C", &answer))
        return answer;
    return "Unknown command";
}

static std::string ph_command(controller_state &s, const std::vector<std::string> &w)
{
    std::string answer;
    if (w.size() == 1 || mode_command(w, false, &s.ph_mode))
        return heater_answer("Preheat", s.ph_mode, s.ph_power, s.ph_temp,
                             s.ph_mode == "on" && s.ph_temp < s.ph_ton);
    if (number_command(w, "power", &s.ph_power, "%", &answer) ||
        number_command(w, "ton", &s.ph_ton, "'C", &answer))
        return answer;
    return "Unknown command";
}

std::string controller_answer(controller_state &s, const std::string &command, bool *prompt)
{
    std::vector<std::string> w = words_of(command);
    *prompt = true;

    if (s.asked_default) {
        s.asked_default = false;
        if (command == "y") {
            controller_state fresh = controller_defaults();
            fresh.saves = s.saves;
            fresh.reboots = s.reboots;
            s = fresh;
            return "\r\nDefault settings loaded.";
        }
        return "\r\nCancelled.";
    }
    if (w.empty())
        return "";
    if (w.size() == 2 && w[1] == "save") {
        s.saves++;
        return "Saved.";
    }
    if (w[0] == "led")
        return led_command(s, w);
    if (w[0] == "th")
        return th_command(s, w);
    if (w[0] == "ph")
        return ph_command(s, w);
    if (w[0] == "fan" && (w.size() == 1 || mode_command(w, true, &s.fan_mode)))
        return fan_answer(s);
    if (w[0] == "cam" && (w.size() == 1 || mode_command(w, true, &s.cam_mode)))
        return cam_answer(s);
    if (command == "lux")
        return format("%d lx", s.lux);
    if (command == "temp")
        return format("%.1f'C", (double)s.temp);
    if (command == "power")
        return format("V=%.1fV I=%.1fmA P=%.1fW", (double)s.voltage, (double)s.current,
                      (double)s.power);
    if (command == "default") {
        s.asked_default = true;
        *prompt = false;
        return "Load default settings? (y/n) ";
    }
    if (command == "reboot") {
        s.reboots++;
        return "Rebooting...";
    }
    return "Unknown command";
}
