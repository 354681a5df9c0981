#pragma once
// The narrow port chooser. Port names differ at their ends (ttyUSB0,
// ttyUSB1, a by-id path's port number), so the closed box draws the name
// whole in the room it has, with a slim arrow, and elides a longer name in
// the middle so that its end stays visible; where two names would look the
// same so (by-id paths of two adapters of one kind), it shows the part that
// tells them apart. The list and the tool tip show the whole name.
//
// A last entry, "Network port...", asks for HOST:PORT and adds the port on
// another machine as rfc2217://HOST:PORT, chosen, for the rest of the run.
// The box asks again with the text as typed after a mistake, and starts
// from the last text typed the next time. A port that failed to open is
// marked in the list, with the reason in its tool tip.
//
// A port that another program serves (vekctl -p PORT serve) shows as
// "PORT (shared)"; the marks are brought up to date each time the list
// opens. The entry's port is its name without the mark (portAt()). The
// closed box draws a shared port's name in italics, and the mark too where
// there is room for it.

#include <QComboBox>

#include <functional>

namespace vek {

class Prompts;

class PortBox : public QComboBox {
    Q_OBJECT
public:
    explicit PortBox(QWidget *parent = nullptr);

    // Where the closed box draws the name, and the name as drawn there.
    QRect textRect() const;
    QFont textFont() const;
    QString shownText() const;
    // Widens the list to its longest name; call after filling the box.
    void fitList();

    static const QString NetworkEntry;
    // Appends the network entry, which asks through `prompts` (not owned). A
    // box that had no port before chooses none.
    void addNetworkEntry(Prompts &prompts);
    // Marks the entry `name` as failed to open (`why` not empty) or clears its mark.
    void markFailed(const QString &name, const QString &why);
    bool isMarkedFailed(int index) const;

    static const QString SharedMark;   // " (shared)"
    // The port of an entry, without its mark; empty for no entry.
    QString portAt(int index) const;
    QString currentPort() const { return portAt(currentIndex()); }
    int findPort(const QString &name) const;
    // Tells whether another program serves a port; the marks follow it.
    void setSharedCheck(std::function<bool(const QString &)> served) { m_served = std::move(served); }
    void markShared();
    bool isShared(int index) const { return itemText(index) != portAt(index); }
    void showPopup() override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void askNetworkPort();

    Prompts *m_prompts = nullptr;
    int m_chosen = -1;   // the last port chosen, to go back to from the network entry
    QString m_typed;     // the last text typed into the network entry's box
    std::function<bool(const QString &)> m_served;
};

} // namespace vek
