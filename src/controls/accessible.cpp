#include "accessible.h"

#include "bmptimedisplay.h"
#include "icebtn.h"
#include "iceslider.h"
#include "icevumeter.h"
#include "spectrumdisplay.h"
#include "trigger.h"

#include <QAccessibleWidget>
#include <QRegularExpression>

#include <algorithm>

namespace {

const QRegularExpression& shortcutAtEnd() {
    static const QRegularExpression pattern(QStringLiteral("\\s*\\(([^()]*)\\)\\s*$"));
    return pattern;
}

/// The common part: the name from the accessible name or the tooltip, the tooltip's key as
/// the shortcut.
class SkinControl : public QAccessibleWidget {
public:
    using QAccessibleWidget::QAccessibleWidget;

    QString text(QAccessible::Text t) const override {
        switch (t) {
        case QAccessible::Name:
            return controlName(widget()->accessibleName(), widget()->toolTip());
        case QAccessible::Accelerator:
            return controlShortcut(widget()->toolTip());
        default:
            return QAccessibleWidget::text(t);
        }
    }
};

class ButtonAccessible final : public SkinControl {
public:
    explicit ButtonAccessible(TiceBtn* button) : SkinControl(button, QAccessible::Button) {}

    TiceBtn* button() const { return static_cast<TiceBtn*>(widget()); }

    QAccessible::State state() const override {
        QAccessible::State s = SkinControl::state();
        // `enable`, not the widget's own enabled flag, decides whether it clicks.
        if (!button()->isEnable()) {
            s.disabled = true;
            s.focusable = false;
        }
        s.pressed = button()->isDown();
        return s;
    }

    QStringList actionNames() const override {
        QStringList names = SkinControl::actionNames();
        if (button()->isEnable())
            names.prepend(pressAction());
        return names;
    }

    void doAction(const QString& name) override {
        if (name == pressAction())
            button()->click();
        else
            SkinControl::doAction(name);
    }

    QStringList keyBindingsForAction(const QString& name) const override {
        if (name == pressAction())
            return {QStringLiteral("Space")};
        return SkinControl::keyBindingsForAction(name);
    }
};

class SliderAccessible final : public SkinControl, public QAccessibleValueInterface {
public:
    explicit SliderAccessible(TIceSlider* slider) : SkinControl(slider, QAccessible::Slider) {}

    TIceSlider* slider() const { return static_cast<TIceSlider*>(widget()); }

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return SkinControl::interface_cast(t);
    }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value)
            return QString::number(slider()->Position());
        return SkinControl::text(t);
    }

    QVariant currentValue() const override { return slider()->Position(); }
    void setCurrentValue(const QVariant& value) override {
        bool ok = false;
        const int position = value.toInt(&ok);
        if (ok)
            slider()->moveByUser(position);
    }
    QVariant maximumValue() const override { return slider()->Maximum(); }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }
};

class MeterAccessible final : public SkinControl, public QAccessibleValueInterface {
public:
    explicit MeterAccessible(iceVUmeter* meter) : SkinControl(meter, QAccessible::ProgressBar) {}

    iceVUmeter* meter() const { return static_cast<iceVUmeter*>(widget()); }

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return SkinControl::interface_cast(t);
    }

    QAccessible::State state() const override {
        QAccessible::State s = SkinControl::state();
        s.readOnly = true;
        return s;
    }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            return meter()->levelText();
        if (t == QAccessible::Value)
            return QStringLiteral("%1 %").arg(currentValue().toInt());
        return SkinControl::text(t);
    }

    QVariant currentValue() const override {
        return std::max(iceVUmeter::percent(meter()->leftpos()),
                        iceVUmeter::percent(meter()->rightpos()));
    }
    void setCurrentValue(const QVariant&) override {}
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }
};

class ClockAccessible final : public SkinControl {
public:
    explicit ClockAccessible(Tbmptimedisplay* clock)
        : SkinControl(clock, QAccessible::StaticText) {}

    QString text(QAccessible::Text t) const override {
        auto* clock = static_cast<Tbmptimedisplay*>(widget());
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            return clock->Text();
        if (t == QAccessible::Value)
            return clock->Text();
        return SkinControl::text(t);
    }
};

class IndicatorAccessible final : public SkinControl {
public:
    explicit IndicatorAccessible(TTrigger* indicator)
        : SkinControl(indicator, QAccessible::CheckBox) {}

    QString text(QAccessible::Text t) const override {
        auto* indicator = static_cast<TTrigger*>(widget());
        // The tooltip carries ":ON" or ":OFF"; the state says that.
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            return indicator->Hint();
        return SkinControl::text(t);
    }

    QAccessible::State state() const override {
        QAccessible::State s = SkinControl::state();
        const TCheckBoxState checked = static_cast<TTrigger*>(widget())->State();
        s.checkable = true;
        s.readOnly = true;
        s.checked = checked == cbChecked;
        s.checkStateMixed = checked == cbGrayed;
        return s;
    }
};

class SpectrumAccessible final : public SkinControl {
public:
    explicit SpectrumAccessible(TSpectrumDisplay* display)
        : SkinControl(display, QAccessible::Chart) {}

    QAccessible::State state() const override {
        QAccessible::State s = SkinControl::state();
        s.readOnly = true;
        return s;
    }
};

QAccessibleInterface* controlsFactory(const QString& className, QObject* object) {
    if (object == nullptr || !object->isWidgetType())
        return nullptr;
    if (className == QLatin1String("TiceBtn"))
        return new ButtonAccessible(static_cast<TiceBtn*>(object));
    if (className == QLatin1String("TIceSlider"))
        return new SliderAccessible(static_cast<TIceSlider*>(object));
    if (className == QLatin1String("iceVUmeter"))
        return new MeterAccessible(static_cast<iceVUmeter*>(object));
    if (className == QLatin1String("Tbmptimedisplay"))
        return new ClockAccessible(static_cast<Tbmptimedisplay*>(object));
    if (className == QLatin1String("TTrigger"))
        return new IndicatorAccessible(static_cast<TTrigger*>(object));
    if (className == QLatin1String("TSpectrumDisplay"))
        return new SpectrumAccessible(static_cast<TSpectrumDisplay*>(object));
    return nullptr;
}

} // namespace

void installControlsAccessibility() {
    // Qt keeps a factory once, however often it is installed.
    QAccessible::installFactory(controlsFactory);
}

QString controlName(const QString& accessibleName, const QString& toolTip) {
    if (!accessibleName.isEmpty())
        return accessibleName;
    QString name = toolTip;
    name.remove(shortcutAtEnd());
    return name;
}

QString controlShortcut(const QString& toolTip) {
    const QRegularExpressionMatch match = shortcutAtEnd().match(toolTip);
    return match.hasMatch() ? match.captured(1).trimmed() : QString();
}
