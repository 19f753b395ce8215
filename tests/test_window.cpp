// The program's banner, and the controls across run and variant changes.
#include "support.h"

namespace {

bool sensitive(GtkWidget *w) {
    return GTK_WIDGET_IS_SENSITIVE(w);
}
bool menuSensitive(const char *path) {
    return sensitive(gtk_item_factory_get_widget(item_factory, path));
}
std::string rates() {
    return std::to_string(gui_getBaudRate()) + " " + std::to_string(gui_getClockSpeed());
}

} // namespace

TEST(Program, PrintsItsBannerBeforeTheToolkitStarts) {
    // Without a display the toolkit ends the program right after the line that starts it.
    FILE *out = popen("DISPLAY= " SENDRAL_PROGRAM " 2>/dev/null", "r");
    std::string text(1024, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), out));
    EXPECT_NE(pclose(out), 0);
    EXPECT_EQ(text, "Tavro/Sol/Solx/Dyn Sendral\nQVT\nhttps://www.example.com/sendral\n\n"
                    "Starting gui.\n");
}

TEST(ControlState, FollowsTheLinkTheRunAndTheVariant) {
    ensureMainWindow();
    EXPECT_EQ(windowTitle() + statusText(), "Tavro Sendral - [ new list ]Link Closed");
    EXPECT_FALSE(sensitive(button_send) || sensitive(button_close) || sensitive(sendonint));

    // A run with the link closed (Send On /INT cannot start one, but a list file test can)
    // leaves Close Link grey; New and Open List wait for its end.
    setSendMode(1);
    EXPECT_FALSE(menuSensitive("/File/New List") || menuSensitive("/File/Open List..."));
    EXPECT_TRUE(menuSensitive("/File/Save List"));
    setSendMode(0);
    EXPECT_TRUE(!sensitive(button_close) && menuSensitive("/File/Open List..."));

    // Leaving Sol passes through its defaults; Dyn has no rate choice; greying the /INT
    // controls leaves their options as they were.
    clockspeed_value = 400;
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb3), TRUE);
    EXPECT_EQ(rates(), "115200 100");
    EXPECT_FALSE(menuSensitive("/Options/RS-232 Baud Rate..."));
    EXPECT_TRUE(sensitive(interrupt_monitor_control) && sensitive(beepon_interrupt_control));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(sendonint), TRUE);
    clockspeed_value = 400;
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb2), TRUE);
    EXPECT_EQ(gui_getClockSpeed(), 400);
    EXPECT_TRUE(menuSensitive("/Options/RS-232 Baud Rate..."));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb1), TRUE);
    EXPECT_EQ(rates(), "19200 100");
    EXPECT_FALSE(sensitive(sendonint) || sensitive(interrupt_monitor_control));
    EXPECT_EQ(getOptionSendonInt(), 1);

    // Send stands grey again, and Stop hidden, however the link closed: Close Link, a lost
    // adapter, a time-out during a run.
    for (int way = 0; way < 3; ++way) {
        SimLink link;
        ErrorBoxCloser closer;
        ASSERT_TRUE(link.open());
        putRow(1, "A0", "W", "00,");
        link.sim.setSilent(way == 2);
        way == 0 ? (void)link.close() : way == 1 ? link.sim.vanish() : gui_send(nullptr, nullptr);
        ASSERT_TRUE(pumpUntil([] { return getButtonMode() == 0; })) << way;
        EXPECT_TRUE(GTK_WIDGET_VISIBLE(button_send) && !sensitive(button_send) &&
                    !GTK_WIDGET_VISIBLE(button_stop))
            << way;
    }
}
