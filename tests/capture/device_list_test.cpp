// Which devices are listed and how they are named; the device box's fill and click logic.
#include <gtest/gtest.h>

#include "capture/device_box.h"
#include "tests/capture/capture_fixture.h"

namespace tessaline::test {
namespace {

using DeviceListTest = CaptureTest;
using ::testing::ElementsAre;

TEST_F(DeviceListTest, NineOfTenIdenticalDecksNumberedInOrder) {
    for (int i = 0; i < 10; ++i) AddVirtualDeck(fw, Deck("AV/C Tape", "JVC", "HM-DH5U"));
    EXPECT_TRUE(capture.EnumerateDevices());
    const auto names = DeviceNames();
    ASSERT_EQ(names.size(), 9u);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(names[i], "AV/C Tape (JVC HM-DH5U #" + std::to_string(i + 1) + ")");
    }
}

TEST_F(DeviceListTest, SameModelCountedOtherModelsStartAtOne) {
    AddVirtualDeck(fw, Deck("AV/C Tape", "JVC", "HM-DH5U"));
    AddVirtualDeck(fw, Deck("AV/C Tape", "Sony", "DHR-1000"));
    AddVirtualDeck(fw, Deck("AV/C Tape", "JVC", "HM-DH5U"));
    AddVirtualDeck(fw, Deck("AV/C Tape", "JVC", "HM-DH30000"));
    ASSERT_TRUE(capture.EnumerateDevices());
    EXPECT_THAT(DeviceNames(),
                ElementsAre("AV/C Tape (JVC HM-DH5U #1)", "AV/C Tape (Sony DHR-1000 #1)",
                            "AV/C Tape (JVC HM-DH5U #2)", "AV/C Tape (JVC HM-DH30000 #1)"));
}

TEST_F(DeviceListTest, UnknownVideoCounterAdvancesOnlyForDecksWithoutTexts) {
    AddVirtualDeck(fw, Deck("Tape", "", ""));
    AddVirtualDeck(fw, Deck("Tape", "JVC", ""));  // vendor alone is enough to be named
    VirtualDeckConfig unreadable = Deck("Tape", "", "");
    unreadable.vendor.reset();
    unreadable.model.reset();
    AddVirtualDeck(fw, unreadable);
    ASSERT_TRUE(capture.EnumerateDevices());
    EXPECT_THAT(DeviceNames(), ElementsAre("Tape (Unknown Video #1)", "Tape (JVC  #1)",
                                           "Tape (Unknown Video #2)"));
}

TEST_F(DeviceListTest, OnlyTapeDecksAreListed) {
    AddVirtualDeck(fw, Webcam());
    VirtualDeckConfig tuner = Deck("Tuner", "Acme", "TV");
    tuner.device_type = ED_DEVTYPE_TUNER;
    AddVirtualDeck(fw, tuner);
    VirtualDeckConfig no_control = Deck("Grabber card", "Acme", "Card");
    no_control.offers_ext_device = false;
    AddVirtualDeck(fw, no_control);
    AddVirtualDeck(fw, Deck("AV/C Tape", "JVC", "HM-DH5U"));
    fw.Fail(GraphOp::GetCapability, kE_FAIL, -1, "Broken");
    AddVirtualDeck(fw, Deck("Broken", "JVC", "HM-DH5U"));
    ASSERT_TRUE(capture.EnumerateDevices());
    EXPECT_THAT(DeviceNames(), ElementsAre("AV/C Tape (JVC HM-DH5U #1)"));
}

TEST_F(DeviceListTest, NoDeckAtAll) {
    AddVirtualDeck(fw, Webcam());
    EXPECT_FALSE(capture.EnumerateDevices());
    EXPECT_TRUE(DeviceNames().empty());
    // Filters are listed all the same.
    EXPECT_EQ(capture.FilterList().size(), 3u);
}

TEST_F(DeviceListTest, GraphCreationFailureIsSilent) {
    AddVirtualDeck(fw, Deck("AV/C Tape", "JVC", "HM-DH5U"));
    fw.Fail(GraphOp::CreateFilterGraph, kE_OUTOFMEMORY, 1);
    EXPECT_FALSE(capture.EnumerateDevices());
    EXPECT_TRUE(capture.DeviceList().empty());
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(DeviceListTest, NameWalkStartsOverAfterTheEnd) {
    AddVirtualDeck(fw, Deck("A", "V", "M"));
    AddVirtualDeck(fw, Deck("B", "V", "M"));
    ASSERT_TRUE(capture.EnumerateDevices());
    EXPECT_EQ(capture.NextDeviceName(), "A (V M #1)");
    EXPECT_EQ(capture.NextDeviceName(), "B (V M #1)");
    EXPECT_EQ(capture.NextDeviceName(), "");
    EXPECT_EQ(capture.NextDeviceName(), "A (V M #1)");
}

// ---- The device box ----

class DeviceBoxTest : public CaptureTest {
  protected:
    DeviceBoxHooks Hooks() {
        return {[this] { ++saves; }, [this] { ++updates; }};
    }
    void Click(int index) {
        box.SetItemIndex(index);
        cmbVidClick(capture, box, selection, flags, Hooks());
    }

    ListDeviceBox box;
    DeviceSelection selection;
    RunState flags{.UseEnglish = true};
    int saves = 0;
    int updates = 0;
};

TEST_F(DeviceBoxTest, FillListsDecksAndChecksGrabber) {
    AddVirtualDeck(fw, Deck("AV/C Tape", "JVC", "HM-DH5U"));
    AddVirtualDeck(fw, Webcam());
    AddVirtualDeck(fw, Deck("AV/C Tape", "Sony", "DHR-1000"));
    box.Add("stale entry");
    EXPECT_TRUE(FillDeviceList(capture, box, flags, sink));
    EXPECT_THAT(box.items,
                ElementsAre("AV/C Tape (JVC HM-DH5U #1)", "AV/C Tape (Sony DHR-1000 #1)"));
    EXPECT_TRUE(flags.GrabberReady);
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(DeviceBoxTest, NoDeckLeavesBoxAloneAndSkipsGrabberCheck) {
    GraphHost bare(false);
    CDSCapture without(bare, sink, ctx, path);
    box.Add("kept");
    EXPECT_FALSE(FillDeviceList(without, box, flags, sink));
    EXPECT_THAT(box.items, ElementsAre("kept"));
    EXPECT_FALSE(flags.GrabberReady);
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(DeviceBoxTest, MissingGrabberReportedInBothLanguages) {
    GraphHost bare(false);
    AddVirtualDeck(bare, Deck("AV/C Tape", "JVC", "HM-DH5U"));
    bare.RegisterFilter("Sample Grabber", FilterKind::SampleGrabber);
    CDSCapture without(bare, sink, ctx, path);
    EXPECT_FALSE(FillDeviceList(without, box, flags, sink));
    flags.UseEnglish = false;
    EXPECT_FALSE(FillDeviceList(without, box, flags, sink));
    ASSERT_EQ(sink.messages.size(), 2u);
    EXPECT_EQ(sink.messages[0].caption, "ERROR");
    EXPECT_EQ(sink.messages[0].text, "SampleGrabberis not registered");
    EXPECT_EQ(sink.messages[1].caption, "エラー");
    EXPECT_EQ(sink.messages[1].text, "SampleGrabberがフィルタとして登録されていません");
    // The decks are in the box all the same.
    EXPECT_FALSE(box.items.empty());
    EXPECT_FALSE(flags.GrabberReady);
}

// A registered filter whose name cannot be read is left out of the list; it must not end the
// walk before the grabber registered behind it.
TEST_F(DeviceBoxTest, NamelessFilterDoesNotHideTheGrabberBehindIt) {
    GraphHost other(false);
    AddVirtualDeck(other, Deck("AV/C Tape", "JVC", "HM-DH5U"));
    other.RegisterFilter("Broken", FilterKind::PassThrough);
    other.RegisterFilter(kSampleGrabberName, FilterKind::SampleGrabber);
    other.Fail(GraphOp::BindToStorage, kE_FAIL, -1, "Broken");
    CDSCapture cap(other, sink, ctx, path);
    EXPECT_TRUE(FillDeviceList(cap, box, flags, sink));
    EXPECT_TRUE(flags.GrabberReady);
    EXPECT_TRUE(sink.messages.empty());
    ASSERT_EQ(cap.FilterList().size(), 1u);
    EXPECT_EQ(cap.FilterList()[0].Name, kSampleGrabberName);
    ASSERT_TRUE(cap.SelectDevice(0));
    EXPECT_TRUE(cap.AddFilterByName(kSampleGrabberName));
}

TEST_F(DeviceBoxTest, GrabberCheckIgnoresCaseButChainLookupDoesNot) {
    GraphHost other(false);
    AddVirtualDeck(other, Deck("AV/C Tape", "JVC", "HM-DH5U"));
    other.RegisterFilter("SAMPLEGRABBER", FilterKind::SampleGrabber);
    CDSCapture cap(other, sink, ctx, path);
    EXPECT_TRUE(FillDeviceList(cap, box, flags, sink));
    ASSERT_TRUE(cap.SelectDevice(0));
    EXPECT_FALSE(cap.AddFilterByName("SampleGrabber"));
    EXPECT_TRUE(cap.AddFilterByName("SAMPLEGRABBER"));
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(DeviceBoxTest, ClickOpensDeckOnceAndSavesSettings) {
    AddVirtualDeck(fw, Deck("AV/C Tape", "JVC", "HM-DH5U"));
    AddVirtualDeck(fw, Deck("AV/C Tape", "Sony", "DHR-1000"));
    ASSERT_TRUE(FillDeviceList(capture, box, flags, sink));

    Click(-1);
    EXPECT_EQ(updates, 0);
    EXPECT_EQ(selection.LastDeviceIndex, -1);

    Click(1);
    EXPECT_TRUE(flags.DeviceReady);
    EXPECT_EQ(selection.LastDeviceIndex, 1);
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(updates, 1);
    EXPECT_EQ(capture.SelectedDeviceName(), "AV/C Tape (Sony DHR-1000 #1)");
    const int graphs = fw.GraphsCreated();

    Click(1);  // the same entry again: nothing at all
    EXPECT_EQ(updates, 1);
    EXPECT_EQ(fw.GraphsCreated(), graphs);

    Click(0);  // another entry: the old graph goes, a new one holds the new deck alone
    EXPECT_EQ(saves, 2);
    EXPECT_EQ(fw.GraphsCreated(), graphs + 1);
    EXPECT_EQ(fw.GraphsAlive(), 1);
    const GraphSnapshot g = fw.LatestGraph();
    EXPECT_THAT(g.filters, ElementsAre("AV/C Tape"));
    EXPECT_EQ(capture.SelectedDeviceName(), "AV/C Tape (JVC HM-DH5U #1)");
}

TEST_F(DeviceBoxTest, FailedOpenIsNotSavedButControlsRefresh) {
    AddVirtualDeck(fw, Deck("AV/C Tape", "JVC", "HM-DH5U"));
    ASSERT_TRUE(FillDeviceList(capture, box, flags, sink));
    fw.Fail(GraphOp::SetFiltergraph, kE_FAIL, 1);
    Click(0);
    EXPECT_FALSE(flags.DeviceReady);
    EXPECT_EQ(saves, 0);
    EXPECT_EQ(updates, 1);
    EXPECT_THAT(Texts(), ElementsAre("Cannot give graph to builder"));
}

TEST_F(DeviceBoxTest, SavedIndexBeyondTheListSelectsNothing) {
    AddVirtualDeck(fw, Deck("A", "V", "M"));
    AddVirtualDeck(fw, Deck("B", "V", "M"));
    ASSERT_TRUE(FillDeviceList(capture, box, flags, sink));
    box.SetItemIndex(SavedDeviceIndex(3, box.Count()));
    cmbVidClick(capture, box, selection, flags, Hooks());
    EXPECT_EQ(box.ItemIndex(), -1);
    EXPECT_FALSE(flags.DeviceReady);
    EXPECT_FALSE(capture.HasDeviceFilter());
    EXPECT_EQ(SavedDeviceIndex(1, 2), 1);
    EXPECT_EQ(SavedDeviceIndex(2, 2), -1);  // one past the last entry
    EXPECT_EQ(SavedDeviceIndex(0, 0), -1);
    EXPECT_EQ(SavedDeviceIndex(-7, 2), -1);
}

TEST(DeviceBoxTexts, BothLanguages) {
    EXPECT_EQ(DeviceNotFoundText(true), "Cannot find capture device");
    EXPECT_EQ(DeviceNotFoundText(false), "キャプチャデバイスが見つかりません。");
    EXPECT_EQ(ErrorCaption(false), "エラー");
}

}  // namespace
}  // namespace tessaline::test
