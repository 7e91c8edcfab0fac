// The housing's last known state and the eight queries that read it from
// the controller, one group of values each.
#pragma once

/// Size of a text field: at most 9 characters and the terminating NUL.
enum { HOUSE_TEXT_SIZE = 10 };

struct house_status {
    // LED illuminator
    int led_power_cfg;    // configured power, %
    int led_power_real;   // power actually applied, %
    float led_temp;       // degrees C
    int led_lxon;         // switched on below this illuminance, lx
    int led_lxoff;        // switched off above this illuminance, lx
    int led_tmax;         // temperature limit, degrees C
    int led_pbo;          // power used above the limit, %
    char led_mode[HOUSE_TEXT_SIZE];    // "auto", "on", "off"
    char led_status[HOUSE_TEXT_SIZE];
    // thermostat heater
    int th_power;  // %
    int th_ton;    // degrees C
    int th_toff;   // degrees C
    int th_temp;   // degrees C
    char th_mode[HOUSE_TEXT_SIZE];  // "on", "off"
    char th_heater[HOUSE_TEXT_SIZE];
    // preheat heater
    int ph_power;  // %
    int ph_ton;    // degrees C; above it preheat ends and the camera powers up
    int ph_temp;   // degrees C
    char ph_mode[HOUSE_TEXT_SIZE];  // "on", "off"
    char ph_heater[HOUSE_TEXT_SIZE];
    // fan
    char fan_mode[HOUSE_TEXT_SIZE];  // "auto", "on", "off", "error"
    char fan_status[HOUSE_TEXT_SIZE];
    // camera power switch
    int cam_temp;       // degrees C
    float cam_voltage;  // V
    float cam_current;  // mA
    float cam_power;    // W
    char cam_mode[HOUSE_TEXT_SIZE];  // "auto", "on", "off"
    char cam_status[HOUSE_TEXT_SIZE];
    // illuminance, external temperature, supply
    int lux;        // lx
    float temp;     // degrees C
    float voltage;  // V
    float current;  // mA
    float power;    // W
};

/// The process-wide record, zero at start, written only by the queries.
extern struct house_status house_status;

/// Each query (read_query, or its named form) sends its group's commands in
/// a fixed order, matches every answer and stores the values in
/// house_status, then returns 0. An answer that does not match ends the
/// process with status 1 and a "can't parse" message; the group's later
/// commands are then not sent.
enum house_query { QUERY_LED, QUERY_TH, QUERY_PH, QUERY_FAN, QUERY_CAM, QUERY_LUX, QUERY_TEMP,
                   QUERY_POWER, QUERY_COUNT };
int read_query(enum house_query query);
int read_led(void);
int read_thermostat(void);
int read_preheat(void);
int read_fan(void);
int read_camera(void);
int read_lux(void);
int read_temp(void);
int read_power(void);
