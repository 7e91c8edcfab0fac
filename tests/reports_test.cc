// The JSON reports, byte for byte, against the simulated controller.

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "housectl_run.h"
#include "text_io.h"
#include "utf8_check.h"

// Runs jq on `json` with `filter`; returns its output, or "jq failed".
static std::string jq(const std::string &json, const std::string &filter)
{
    char path[] = "/tmp/housectl-json-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_EQ(write(fd, json.data(), json.size()), (ssize_t)json.size());
    close(fd);
    std::string out = command_output("jq -r '" + filter + "' " + path + " 2>/dev/null || echo 'jq failed'");
    unlink(path);
    return out;
}

TEST(Reports, GroupFragments)
{
    sim_faults f;
    f.script["th"] = "Thermostat: ON Power=100% Temp=-5'C Heater: ON\r\n:";
    sim_result r = housectl({ "-t", "-h", "-f", "-c", "-p" }, f);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "\"th\" : {\n\t\"th_mode\":\"on\",\n\t\"th_power\":\"100\",\n\t\"th_ton\":\"5\",\n"
              "\t\"th_toff\":\"15\",\n\t\"th_temp\":\"-5\",\n\t\"th_heater\":\"ON:\"\n}\n"
              "\"ph\" : {\n\t\"ph_mode\":\"off\",\n\t\"ph_power\":\"50\",\n\t\"ph_ton\":\"0\",\n"
              "\t\"ph_temp\":\"10\",\n\t\"ph_heater\":\"OFF:\"\n}\n"
              "\"fan\" : {\n\t\"fan_mode\":\"auto\",\n\t\"fan_status\":\"OFF:\"\n}\n"
              "\"cam\" : {\n\t\"cam_mode\":\"auto\",\n\t\"cam_status\":\"ON\",\n"
              "\t\"cam_temp\":\"35\",\n\t\"cam_voltage\":\"12.100000\",\n"
              "\t\"cam_current\":\"250.000000\",\n\t\"cam_power\":\"3.000000\"\n}\n"
              "\"power\" : {\n\t\"voltage\":\"12.000000\",\n\t\"current\":\"350.000000\",\n"
              "\t\"power\":\"4.200000\"\n}\n");
    EXPECT_EQ(r.received, "th\r\nth ton\r\nth toff\r\nph\r\nph ton\r\nfan\r\ncam\r\npower\r\n");

    r = housectl({ "-i", "-e" });
    EXPECT_EQ(r.out, "\"lux\":\"120\"\n\"temp\":\"-3.500000\"\n");
}

TEST(Reports, FullReportIsOneObjectWithEveryValueInOrder)
{
    sim_result r = housectl({ "-a" });
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(jq(r.out, "keys_unsorted | join(\",\")"),
              "led_mode,led_status,led_power_cfg,led_power_real,led_temp,led_lxon,led_lxoff,"
              "led_tmax,led_pbo,th_mode,th_power,th_ton,th_toff,th_temp,th_heater,ph_mode,"
              "ph_power,ph_ton,ph_temp,ph_heater,fan_mode,fan_status,cam_mode,cam_status,"
              "cam_temp,cam_voltage,cam_current,cam_power,lux,temp,voltage,current,power\n");
    EXPECT_EQ(jq(r.out, "[.[] | type] | unique | join(\",\")"), "string\n");
    EXPECT_EQ(r.out.substr(0, 40), "{\n\"led_mode\":\"on\",\n\"led_status\":\"ON\",\n\"l");
    EXPECT_EQ(r.out.substr(r.out.size() - 22), "\n\"power\":\"4.200000\"\n}\n");
}

TEST(Reports, ControllerTextIsEscaped)
{
    // Quotes, backslashes and control bytes in a word still give valid JSON
    // that reads back as the word. The interrupt, quit and suspend bytes are
    // text too: the line must not act on them.
    sim_faults f;
    f.script["fan"] = "FAN: Auto a\"b\\c\x01\xe9\r\n:";
    f.script["th"] = "Thermostat: ON Power=1% Temp=2'C Heater: \"\x03\x1c\x1a\r\n:";
    sim_result r = housectl({ "-a" }, f);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(jq(r.out, ".fan_status"), "a\"b\\c\x01\xc3\xa9:\n");
    EXPECT_EQ(jq(r.out, ".th_heater"), "\"\x03\x1c\x1a:\n");
    EXPECT_NE(r.out.find("\"fan_status\":\"a\\\"b\\\\c\\u0001\\u00e9:\""), std::string::npos);
    EXPECT_NE(r.out.find("\"th_heater\":\"\\\"\\u0003\\u001c\\u001a:\""), std::string::npos);

    // Well-formed UTF-8 is text and passes unchanged; a character cut by
    // the nine-byte field, an overlong form, a surrogate, a stray
    // continuation byte and a code above U+10FFFF are no text, and each of
    // their bytes is escaped on its own.
    f = {};
    f.script["led"] = "LED: AUTO \xc3\x89T\xc3\x89 Power=50% (50%) Temp=31.5'C\r\n:";
    f.script["fan"] = "FAN: Auto a\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\r\n:";
    f.script["th"] = "Thermostat: ON Power=1% Temp=2'C Heater: \xc0\xaf\xed\xa0\x80\x80\r\n:";
    f.script["cam"] = "CAM: AUTO \xf0\x9f\x93\xb7\xf4\x90\x80\x80 Temp=1'C Vcam=1V Icam=1mA Pcam=1W\r\n:";
    r = housectl({ "-a" }, f);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(valid_utf8(r.out.data(), r.out.size())) << r.out;
    EXPECT_EQ(jq(r.out, ".led_status"), "\xc3\x89T\xc3\x89\n");
    EXPECT_NE(r.out.find("\"led_status\":\"\xc3\x89T\xc3\x89\""), std::string::npos);
    EXPECT_NE(r.out.find("\"fan_status\":\"a\xe2\x82\xac\xe2\x82\xac\\u00e2\\u0082\""),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"th_heater\":\"\\u00c0\\u00af\\u00ed\\u00a0\\u0080\\u0080:\""),
              std::string::npos);
    EXPECT_NE(r.out.find("\"cam_status\":\"\xf0\x9f\x93\xb7\\u00f4\\u0090\\u0080\\u0080\""),
              std::string::npos);
    EXPECT_EQ(jq(r.out, ".cam_status"), "\xf0\x9f\x93\xb7\xc3\xb4\xc2\x90\xc2\x80\xc2\x80\n");
    r = housectl({ "-f" }, f);
    EXPECT_EQ(jq("{" + r.out + "}", ".fan.fan_status"), "a\xe2\x82\xac\xe2\x82\xac\xc3\xa2\xc2\x82\n");
}

TEST(Reports, FailingStepEndsItsQueryAfterWhatWasPrinted)
{
    // The thermostat's on-temperature fails: its off-temperature is never
    // asked, and the LED values already printed stay printed.
    sim_faults f;
    f.script["th ton"] = "warm\r\n:";
    sim_result r = housectl({ "-a" }, f);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fatal("can't parse th ton command answer! sscanf return 0, str = [warm:]"));
    EXPECT_EQ(r.out.substr(0, 2), "{\n");
    EXPECT_NE(r.out.find("\"led_pbo\":\"30\",\n"), std::string::npos);
    EXPECT_EQ(r.out.find("th_mode"), std::string::npos);
    EXPECT_EQ(r.received.substr(r.received.size() - 12), "th\r\nth ton\r\n");

    // An external temperature that is no number is not printed as 0.
    f = {};
    f.script["temp"] = "warm'C\r\n:";
    r = housectl({ "-i", "-e" }, f);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "\"lux\":\"120\"\n");
    EXPECT_EQ(r.err, fatal("can't parse temp command answer! sscanf return 0, str = [warm'C:]"));

    // A controller that stops answering during the LED query.
    f = {};
    f.mute_from = 3;
    r = housectl({ "-l" }, f);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Error read from tty! (poll)");
    EXPECT_EQ(r.err, fatal("can't parse led lxoff command answer! sscanf return -1, str = []"));
    EXPECT_EQ(r.received, "led\r\nled lxon\r\nled lxoff\r\n");

    // ... or falls silent two bytes into echoing a command: the message
    // shows the echo it got (the LF of the line end before, then "le"),
    // nothing left from the answer before.
    f.mute_in_echo = true;
    r = housectl({ "-l" }, f);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Error read from tty! (poll)");
    EXPECT_EQ(r.err, fatal("can't parse led lxoff command answer! sscanf return 0, str = [\nle]"));
    EXPECT_EQ(r.received, "led\r\nled lxon\r\nled lxoff\r\n");
}
