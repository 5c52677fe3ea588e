#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QString>
#include <QWidget>

/// The stereo level meter: two columns of blocks lit from the bottom by the left and right
/// levels (16-bit sample magnitudes, 0 to 32767), with a red block at the voice-operated
/// switch threshold. It is drawn over a snapshot of what lies behind it (the parent's
/// background and the siblings before it), so it sits on the skin like a transparent
/// control. Window thread only.
class iceVUmeter : public QWidget {
    Q_OBJECT

public:
    explicit iceVUmeter(QWidget* parent = nullptr);

    int block() const { return fblock; }
    /// Stores the block pitch and redraws (the layout then recomputes it from the height).
    void setblock(int value);
    int leftpos() const { return fleft; }
    void setleftpos(int value) { fleft = value; }
    int rightpos() const { return fright; }
    void setrightpos(int value) { fright = value; }
    int vox() const { return fvoxposition; }
    /// Stores the VOX threshold and redraws; the main window calls this after writing the
    /// levels, so it is the meter's update.
    void setvox(int value);
    bool voxactive() const { return fvoxactive; }
    void setvoxactive(bool value) { fvoxactive = value; }

    /// Lays out the blocks, moves the displayed levels and draws the finished picture.
    /// Allocates only when the control was moved or resized since the last snapshot.
    void updatemeter();

    /// The block count of the last layout, and the displayed levels in blocks.
    int blockCount() const { return m_blocks; }
    int leftPeak() const { return lpeak; }
    int rightPeak() const { return rpeak; }
    const QImage& picture() const { return bm; }

    /// The levels as a screen reader reads them: "Levels: left 45 %, right 40 %".
    QString levelText() const;
    /// A level in percent of full scale.
    static int percent(int level);
    /// Screen readers hear of a new level text at most this often, not on every update.
    static constexpr qint64 ReportInterval = 500; ///< milliseconds

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void CopyParentImage(QImage& target);
    void reportLevels();

    QImage bm;
    QImage m_shown; ///< bm as last asked to be repainted
    int fposition = 0;
    int fvoxposition = 0;
    int rpeak = 0;
    int lpeak = 0;
    int fblock = 2;
    int fleft = 0;
    int fright = 0;
    bool fvoxactive = false;
    int oldx = -1;
    int oldy = -1;
    int oldw = -1;
    int oldh = -1;
    QImage bmp;
    int m_blocks = 0;
    QString m_reported;
    QElapsedTimer m_reportedAt;
};
