// The answer forms the controller uses, matched on plain strings.

#include <gtest/gtest.h>

#include "answers.h"

struct parsed {
    struct house_status s {};
    int count = 0;
    int matched = 0;
};

template <typename Parse> static parsed run(Parse parse, const char *answer)
{
    parsed p;
    p.matched = parse(&p.s, answer, &p.count);
    return p;
}

TEST(Answers, LedOneWordAndTwoWordForms)
{
    parsed p = run(parse_led, "LED: ON Power=50% (50%) Temp=31.5'C:");
    EXPECT_EQ(p.matched, 1);
    EXPECT_STREQ(p.s.led_mode, "on");
    EXPECT_STREQ(p.s.led_status, "ON");
    EXPECT_EQ(p.s.led_power_cfg, 50);
    EXPECT_EQ(p.s.led_power_real, 50);
    EXPECT_FLOAT_EQ(p.s.led_temp, 31.5f);

    // "Power=100%" is a 10-character token the two-word form takes as its
    // second word; it must neither overflow nor survive.
    p = run(parse_led, "LED: ON Power=100% (100%) Temp=40.0'C:");
    EXPECT_EQ(p.matched, 1);
    EXPECT_STREQ(p.s.led_mode, "on");
    EXPECT_STREQ(p.s.led_status, "ON");
    EXPECT_EQ(p.s.led_power_cfg, 100);

    p = run(parse_led, "LED: AUTO OFF Power=0% (0%) Temp=20.0'C:");
    EXPECT_EQ(p.count, 5);
    EXPECT_STREQ(p.s.led_mode, "auto");
    EXPECT_STREQ(p.s.led_status, "OFF");

    p = run(parse_led, "LED: BLINK Power=10% (10%) Temp=-10.0'C:");
    EXPECT_STREQ(p.s.led_mode, "off");
    EXPECT_STREQ(p.s.led_status, "OFF");
    EXPECT_FLOAT_EQ(p.s.led_temp, -10.0f);

    // A word too long to keep is cut to 9 characters.
    p = run(parse_led, "LED: AUTO TWILIGHT_ZONE Power=5% (5%) Temp=1.0'C:");
    EXPECT_STREQ(p.s.led_status, "TWILIGHT_");

    p = run(parse_led, "LED: ON Power=50%:");
    EXPECT_EQ(p.matched, 0);
    EXPECT_EQ(p.count, 2);
    p = run(parse_led, "");
    EXPECT_EQ(p.count, -1);
}

TEST(Answers, CameraOneWordIsTheStateTwoWordsAreAuto)
{
    parsed p = run(parse_camera, "CAM: ON Temp=35'C Vcam=12.1V Icam=250.0mA Pcam=3.0W:");
    EXPECT_EQ(p.matched, 1);
    EXPECT_STREQ(p.s.cam_mode, "on");
    EXPECT_STREQ(p.s.cam_status, "ON");
    EXPECT_FLOAT_EQ(p.s.cam_current, 250.0f);

    // "Temp=-10'C" is 10 characters, taken as the second word and dropped.
    p = run(parse_camera, "CAM: OFF Temp=-10'C Vcam=12.0V Icam=0.0mA Pcam=0.0W:");
    EXPECT_EQ(p.matched, 1);
    EXPECT_STREQ(p.s.cam_mode, "off");
    EXPECT_STREQ(p.s.cam_status, "OFF");
    EXPECT_EQ(p.s.cam_temp, -10);

    p = run(parse_camera, "CAM: AUTO ON Temp=35'C Vcam=12.1V Icam=250.0mA Pcam=3.0W:");
    EXPECT_EQ(p.count, 6);
    EXPECT_STREQ(p.s.cam_mode, "auto");
    EXPECT_STREQ(p.s.cam_status, "ON");
}

TEST(Answers, LastWordKeepsThePrompt)
{
    parsed p = run(parse_thermostat, "Thermostat: ON Power=100% Temp=-5'C Heater: ON:");
    EXPECT_EQ(p.matched, 1);
    EXPECT_STREQ(p.s.th_mode, "on");
    EXPECT_EQ(p.s.th_power, 100);
    EXPECT_EQ(p.s.th_temp, -5);
    EXPECT_STREQ(p.s.th_heater, "ON:");

    p = run(parse_preheat, "Preheat: Enabled Power=0x10% Temp=010'C Heater: OFF:");
    EXPECT_STREQ(p.s.ph_mode, "off");  // only "ON" is on
    EXPECT_EQ(p.s.ph_power, 16);
    EXPECT_EQ(p.s.ph_temp, 8);
    EXPECT_STREQ(p.s.ph_heater, "OFF:");
}

TEST(Answers, FanModeWords)
{
    const struct {
        const char *answer, *mode, *status;
    } cases[] = {
        { "FAN: Auto ON:", "auto", "ON:" },
        { "FAN: ON x:", "on", "ON" },
        { "FAN: OFF x:", "off", "OFF" },
        { "FAN: Broken x:", "error", "x:" },
        { "FAN: auto x:", "error", "x:" },  // case matters
    };
    for (const auto &c : cases) {
        parsed p = run(parse_fan, c.answer);
        EXPECT_EQ(p.matched, 1) << c.answer;
        EXPECT_STREQ(p.s.fan_mode, c.mode) << c.answer;
        EXPECT_STREQ(p.s.fan_status, c.status) << c.answer;
    }
    parsed p = run(parse_fan, "FAN: ON:");
    EXPECT_EQ(p.matched, 0);
    EXPECT_EQ(p.count, 1);
}

TEST(Answers, NumbersInAnyBase)
{
    int value = 0, count = 0;
    EXPECT_TRUE(parse_int("0x10 lx:", "%i lx", &value, &count));
    EXPECT_EQ(value, 16);
    EXPECT_TRUE(parse_int("-12'C:", "%i'C", &value, &count));
    EXPECT_EQ(value, -12);
    EXPECT_FALSE(parse_int("lx:", "%i lx", &value, &count));
    EXPECT_EQ(count, 0);

    float f = 0;
    EXPECT_TRUE(parse_float("-3.5'C:", "%f'C", &f, &count));
    EXPECT_FLOAT_EQ(f, -3.5f);

    struct house_status s {};
    EXPECT_TRUE(parse_power(&s, "V=12.0V I=350.5mA P=4.2W:", &count));
    EXPECT_FLOAT_EQ(s.current, 350.5f);
}

// An answer cut short after any of its fields is refused, never taken with
// the fields it lacks left stale or zero; the count says how far it got.
TEST(Answers, AnswersCutShortAtEachFieldAreRefused)
{
    using parser = int (*)(struct house_status *, const char *, int *);
    const struct {
        parser parse;
        const char *answer;
        int count;
    } cut[] = {
        { parse_led, "LED: ON Power=50% (50%) Temp=:", 3 },
        { parse_led, "LED: ON Power=50% (50%):", 3 },
        { parse_led, "LED: ON Power=50% (:", 2 },
        { parse_led, "LED: ON:", 1 },
        // The two-word forms fall back to the one-word form, whose count it is.
        { parse_led, "LED: AUTO ON Power=5% (5%) Temp=:", 1 },
        { parse_thermostat, "Thermostat: ON Power=100% Temp=-5'C Heater:", 3 },
        { parse_thermostat, "Thermostat: ON Power=100% Temp=-5'C:", 3 },
        { parse_thermostat, "Thermostat: ON Power=100%:", 2 },
        { parse_thermostat, "Thermostat: ON:", 1 },
        { parse_thermostat, "Thermostat:", -1 },
        { parse_preheat, "Preheat: ON Power=50% Temp=10'C Heater:", 3 },
        { parse_preheat, "Preheat: ON Power=50% Temp=:", 2 },
        { parse_preheat, "Preheat: ON Power=:", 1 },
        { parse_preheat, "Preheat:", -1 },
        { parse_camera, "CAM: ON Temp=35'C Vcam=12.1V Icam=250.0mA Pcam=:", 4 },
        { parse_camera, "CAM: ON Temp=35'C Vcam=12.1V Icam=250.0mA:", 4 },
        { parse_camera, "CAM: ON Temp=35'C Vcam=12.1V:", 3 },
        { parse_camera, "CAM: ON Temp=35'C:", 2 },
        { parse_camera, "CAM: ON:", 1 },
        { parse_camera, "CAM: AUTO ON Temp=35'C Vcam=12.1V Icam=250.0mA Pcam=:", 1 },
        { parse_power, "V=12.0V I=350.5mA P=:", 2 },
        { parse_power, "V=12.0V I=350.5mA:", 2 },
        { parse_power, "V=12.0V:", 1 },
        { parse_power, "V=:", 0 },
        { parse_fan, "FAN: Auto:", 1 },
    };
    for (const auto &c : cut) {
        parsed p = run(c.parse, c.answer);
        EXPECT_EQ(p.matched, 0) << c.answer;
        EXPECT_EQ(p.count, c.count) << c.answer;
    }
    int value = 7, count = 9;
    float f = 7;
    EXPECT_FALSE(parse_float("warm'C:", "%f'C", &f, &count));
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(parse_int(" lx:", "%i lx", &value, &count));
    EXPECT_EQ(count, 0);
    EXPECT_EQ(value, 7);
}
