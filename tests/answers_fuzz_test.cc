// Random and mutated answers never crash the parsers, never write outside
// the status record, and every text they keep prints as valid JSON.

#include <string.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "answers.h"
#include "reports.h"
#include "tty.h"
#include "utf8_check.h"

static const char *const seeds[] = {
    "LED: ON Power=50% (50%) Temp=31.5'C:",
    "LED: AUTO OFF Power=0% (0%) Temp=20.0'C:",
    "Thermostat: ON Power=100% Temp=-5'C Heater: ON:",
    "Preheat: OFF Power=50% Temp=10'C Heater: OFF:",
    "FAN: Auto ON:",
    "CAM: AUTO ON Temp=35'C Vcam=12.1V Icam=250.0mA Pcam=3.0W:",
    "CAM: OFF Temp=-12'C Vcam=12.0V Icam=0.0mA Pcam=0.0W:",
    "V=12.0V I=350.0mA P=4.2W:",
    "0x10 lx:",
    "-5'C:",
    "FAN: Auto \xc3\x89T\xc3\x89:",
    "LED: AUTO \xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac Power=5% (5%) Temp=1.0'C:",
};

// The record between two guard areas that no parser may touch.
struct guarded {
    unsigned char before[64];
    struct house_status s;
    unsigned char after[64];
};

static std::string mutate(std::mt19937 &rng, std::string text)
{
    std::uniform_int_distribution<int> byte(0, 255), op(0, 5);
    int edits = 1 + (int)(rng() % 8);
    for (int i = 0; i < edits; i++) {
        size_t at = text.empty() ? 0 : rng() % text.size();
        switch (op(rng)) {
        case 0: if (!text.empty()) text[at] = (char)byte(rng); break;
        case 1: text.insert(at, 1, (char)byte(rng)); break;
        case 2: if (!text.empty()) text.erase(at, 1 + rng() % 8); break;
        case 3: text.insert(at, std::string(1 + rng() % 900, "Ax %:'"[rng() % 6])); break;
        case 4: text.insert(at, text.substr(0, at)); break;  // repeat a prefix
        case 5: text = std::string(rng() % 1024, ' ') + text; break;
        }
    }
    // As tty_command leaves it: NUL-terminated within the buffer.
    if (text.size() > TTY_ANSWER_SIZE - 1)
        text.resize(TTY_ANSWER_SIZE - 1);
    return std::string(text.c_str());
}

static void check_record(const guarded &g, const std::string &answer)
{
    for (unsigned char b : g.before)
        ASSERT_EQ(b, 0xa5) << answer;
    for (unsigned char b : g.after)
        ASSERT_EQ(b, 0xa5) << answer;
    const char *texts[] = { g.s.led_mode, g.s.led_status, g.s.th_mode, g.s.th_heater,
                            g.s.ph_mode, g.s.ph_heater, g.s.fan_mode, g.s.fan_status,
                            g.s.cam_mode, g.s.cam_status };
    for (const char *t : texts) {
        ASSERT_LT(strnlen(t, HOUSE_TEXT_SIZE), (size_t)HOUSE_TEXT_SIZE) << answer;
        // As the reports print it: valid UTF-8 inside a valid JSON string.
        char json[HOUSE_TEXT_SIZE * 6];
        json_text(json, sizeof json, t);
        ASSERT_TRUE(valid_utf8(json, strlen(json))) << answer;
        ASSERT_TRUE(valid_json_string_body(json)) << answer;
        ASSERT_EQ(strlen(t) == 0, json[0] == '\0') << answer;
    }
}

TEST(AnswersFuzz, MutatedAndRandomAnswersStayInsideTheRecord)
{
    std::mt19937 rng(20261207);
    int (*const parsers[])(struct house_status *, const char *, int *) = {
        parse_led, parse_thermostat, parse_preheat, parse_fan, parse_camera, parse_power,
    };
    int matched = 0;
    for (int round = 0; round < 20000; round++) {
        std::string answer = round % 4 == 0 ? mutate(rng, std::string())
                                            : mutate(rng, seeds[rng() % (sizeof seeds / sizeof *seeds)]);
        guarded g;
        memset(&g, 0xa5, sizeof g);
        memset(&g.s, 0, sizeof g.s);
        for (auto parse : parsers) {
            int count = 99;
            matched += parse(&g.s, answer.c_str(), &count);
            ASSERT_GE(count, -1);
            ASSERT_LE(count, 6);
        }
        int value, count;
        float f;
        parse_int(answer.c_str(), "%i lx", &value, &count);
        parse_float(answer.c_str(), "%f'C", &f, &count);
        check_record(g, answer);
        if (HasFatalFailure())
            return;
    }
    EXPECT_GT(matched, 100);  // the mutations kept some answers well-formed
}
