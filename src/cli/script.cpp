#include "script.h"

#include "comport.h"
#include "targetsession.h"
#include "interrupt.h"
#include "textconv.h"

#include <QFile>

#include <cstdio>

namespace vek::cli {

namespace {

// A script is a list of commands for a person to read; this bounds what a
// wrong file (or endless input) can take of the memory.
constexpr qint64 MaxScriptBytes = 16 * 1024 * 1024;
constexpr qint64 MaxLineBytes = 4096;

// The words of one line, without its comment: a '#' that begins a word
// begins a comment that runs to the end of the line.
QStringList lineWords(const QString &line)
{
    QStringList words;
    QString word;
    for (QChar ch : line) {
        if (ch.isSpace()) {
            if (!word.isEmpty())
                words << std::exchange(word, QString());
            continue;
        }
        if (ch == u'#' && word.isEmpty())
            break;
        word += ch;
    }
    if (!word.isEmpty())
        words << word;
    return words;
}

enum class LineKind { Empty, Commands, Quit };

// Checks one line; throws UsageError (without the line's place).
LineKind parseLine(const QString &line, const QString &where, CheckContext &context, QList<Command> &out)
{
    const QStringList words = lineWords(line);
    if (words.isEmpty())
        return LineKind::Empty;
    if (words == QStringList{QStringLiteral("quit")})
        return LineKind::Quit;
    QList<Command> cmds = splitCommands(words);
    for (Command &c : cmds) {
        if (!c.info->inScript)
            throw UsageError(QStringLiteral("%1 cannot be used in a script").arg(QLatin1String(c.info->name)));
        checkCommand(c, context);
        c.where = where;
    }
    out += std::move(cmds);
    return LineKind::Commands;
}

} // namespace

std::shared_ptr<Script> loadScript(const QString &path, CheckContext &context)
{
    auto script = std::make_shared<Script>();
    const bool fromStdin = path == u"-";
    script->name = fromStdin ? QStringLiteral("stdin") : path;
    QFile file;
    if (fromStdin) {
        if (interrupt::isTerminal(0) && !context.wholeInput) {
            script->interactive = true;
            return script;
        }
        if (!file.open(stdin, QIODevice::ReadOnly))
            throw UsageError(QStringLiteral("run: cannot read standard input"));
    } else {
        file.setFileName(path);
        if (!file.open(QIODevice::ReadOnly))
            throw UsageError(QStringLiteral("run %1: %2").arg(path, file.errorString()));
    }
    const QByteArray content = file.read(MaxScriptBytes + 1);
    if (content.size() > MaxScriptBytes)
        throw UsageError(QStringLiteral("run %1: larger than %2 bytes, no script").arg(script->name).arg(MaxScriptBytes));

    const QList<QByteArray> lines = content.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString where = QStringLiteral("%1:%2: ").arg(script->name).arg(i + 1);
        try {
            if (parseLine(FileText(lines[i]), where, context, script->commands) == LineKind::Quit)
                break;
        } catch (const UsageError &e) {
            throw UsageError(where + e.message);
        }
    }
    return script;
}

namespace {

// Lines typed at a terminal, each run as soon as it is checked. A bad line
// or a failed command is reported and the next line read; the session then
// ends with exit status 1. A lost line, or a command cut short with part of
// it on the line, ends it at once: nothing more can be sent.
int runInteractive(Session &session)
{
    QFile in;
    if (!in.open(0, QIODevice::ReadOnly | QIODevice::Unbuffered))
        return 1;
    int failed = 0;
    for (;;) {
        session.prompt(Program + QStringLiteral("> "));
        if (!interrupt::waitForInput(0)) {
            session.prompt(QStringLiteral("\n"));
            return 128 + interrupt::pending();
        }
        const QByteArray raw = in.readLine(MaxLineBytes);
        if (raw.isEmpty()) {   // end of input
            session.prompt(QStringLiteral("\n"));
            return failed;
        }
        CheckContext context;
        QList<Command> cmds;
        try {
            if (parseLine(FileText(raw), {}, context, cmds) == LineKind::Quit)
                return failed;
        } catch (const UsageError &e) {
            session.warn(e.message);
            failed = 1;
            continue;
        }
        for (const Command &c : std::as_const(cmds)) {
            const int status = session.run(c);
            if (status >= 128 || status == 4)
                return status;
            if (session.target && session.target->holdsPartial()) {
                session.warn(QStringLiteral("stdin: nothing more can be sent on this connection; the session ends"));
                return 1;
            }
            if (session.outputFailed())
                return 1;
            if (status != 0) {
                failed = 1;
                break;
            }
        }
    }
}

} // namespace

int runScript(Session &session, const Command &cmd)
{
    const Script &script = *cmd.script;
    if (script.interactive)
        return runInteractive(session);
    for (const Command &c : script.commands) {
        if (const int status = session.run(c))
            return status;
    }
    return 0;
}

} // namespace vek::cli
