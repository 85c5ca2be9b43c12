#include "testkit/SoundFontFiles.h"

#include <QFile>
#include <QTemporaryFile>
#include <sndfile.h>

namespace qb::test {

namespace {

void put16(QByteArray& out, int v)
{
    out.append(char(v & 0xFF));
    out.append(char((v >> 8) & 0xFF));
}
void put32(QByteArray& out, quint32 v)
{
    put16(out, int(v & 0xFFFF));
    put16(out, int(v >> 16));
}
QByteArray name20(const std::string& name)
{
    QByteArray n(name.c_str());
    n.resize(20, '\0');
    return n;
}
QByteArray chunk(const char* tag, const QByteArray& payload)
{
    QByteArray out(tag, 4);
    put32(out, quint32(payload.size()));
    out += payload;
    if (payload.size() % 2)
        out.append('\0');
    return out;
}
QByteArray list(const char* type, const QByteArray& payload)
{
    return chunk("LIST", QByteArray(type, 4) + payload);
}

// One sample as an Ogg Vorbis stream, mono at 44.1 kHz, through libsndfile.
QByteArray vorbis(const std::vector<std::int16_t>& points)
{
    QTemporaryFile file;
    if (!file.open())
        return {};
    file.close();
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 1;
    info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    SNDFILE* out = sf_open(QFile::encodeName(file.fileName()).constData(), SFM_WRITE, &info);
    if (!out)
        return {};
    const sf_count_t frames = static_cast<sf_count_t>(points.size());
    const bool written = sf_write_short(out, points.data(), frames) == frames;
    if (sf_close(out) != 0 || !written || !file.open())
        return {};
    return file.readAll();
}

// Zones as bags, generators and modulators: a key range, the loop mode (instrument zones), the
// zone's other generators and the target.
void putZones(const std::vector<FontZone>& zones, std::uint16_t targetOper, QByteArray& bag, QByteArray& gen,
              QByteArray& mod, int& bags, int& gens, int& mods)
{
    for (const FontZone& z : zones) {
        put16(bag, gens);
        put16(bag, mods);
        ++bags;
        put16(gen, 43);
        put16(gen, z.keyLow | (z.keyHigh << 8));
        gens += 1;
        if (targetOper == 53) {
            put16(gen, 54);
            put16(gen, z.sampleModes);
            gens += 1;
        }
        for (const auto& [oper, amount] : z.generators) {
            put16(gen, oper);
            put16(gen, amount);
            gens += 1;
        }
        put16(gen, targetOper);
        put16(gen, z.target);
        gens += 1;
        for (const FontModulator& m : z.modulators) {
            put16(mod, m.source);
            put16(mod, m.destination);
            put16(mod, m.amount);
            put16(mod, m.amountSource);
            put16(mod, m.transform);
            mods += 1;
        }
    }
}

} // namespace

SoundFontRecipe smallSoundFontRecipe(SoundFontRecipe::Kind kind)
{
    SoundFontRecipe recipe;
    recipe.kind = kind;
    const char* names[] = {"piano-low", "piano-high", "organ", "kick", "snare"};
    for (int s = 0; s < 5; ++s) {
        FontSample sample;
        sample.name = names[s];
        for (int i = 0; i < 1000; ++i)
            sample.points.push_back(((i / (10 + s)) % 2) ? 8000 : -8000);
        sample.loopStart = 100;
        sample.loopEnd = 900;
        recipe.samples.push_back(sample);
    }
    recipe.instruments = {{"piano", {{48, 63, 0}, {64, 127, 1}}},
                          {"organ", {{0, 127, 2}}},
                          {"kit", {{36, 36, 3}, {38, 38, 4}}}};
    recipe.presets = {
        {"Piano", 0, 0, {{0, 127, 0}}}, {"Organ", 0, 1, {{0, 127, 1}}}, {"Kit", 128, 0, {{0, 127, 2}}}};
    return recipe;
}

QByteArray soundFontBytes(const SoundFontRecipe& recipe)
{
    using Kind = SoundFontRecipe::Kind;
    QByteArray smpl, sm24, shdr;
    for (std::size_t s = 0; s < recipe.samples.size(); ++s) {
        const FontSample& sample = recipe.samples[s];
        qint64 start = 0, end = 0;
        if (recipe.kind == Kind::Sf3) {
            const QByteArray coded = sample.points.empty() ? QByteArray() : vorbis(sample.points);
            if (!sample.points.empty() && coded.isEmpty())
                return {};
            start = smpl.size();
            smpl += coded;
            end = smpl.size();
        } else {
            start = smpl.size() / 2;
            for (std::size_t i = 0; i < sample.points.size(); ++i) {
                put16(smpl, sample.points[i]);
                sm24.append(char(lowByte(s, i)));
            }
            end = start + qint64(sample.points.size());
            smpl += QByteArray(46 * 2, '\0');
            sm24 += QByteArray(46, '\0');
        }
        // Loop points count from the sample data's start in SF2, from the sample's own in SF3.
        const qint64 loopBase = recipe.kind == Kind::Sf3 ? 0 : start;
        if (sample.start >= 0) {
            start = sample.start;
            end = sample.end;
        }
        shdr += name20(sample.name);
        put32(shdr, quint32(start));
        put32(shdr, quint32(end));
        put32(shdr, quint32(loopBase + sample.loopStart));
        put32(shdr, quint32(loopBase + sample.loopEnd));
        put32(shdr, 44100);
        shdr.append(char(60));
        shdr.append('\0');
        put16(shdr, 0);
        put16(shdr, sample.type | (recipe.kind == Kind::Sf3 ? 0x10 : 0));
    }
    if (smpl.isEmpty())
        smpl = QByteArray(46 * 2, '\0');
    if (sm24.size() % 2)
        sm24.append('\0');
    shdr += name20("EOS") + QByteArray(26, '\0');

    QByteArray inst, ibag, igen, imod;
    int bags = 0, gens = 0, mods = 0;
    for (const FontInstrument& i : recipe.instruments) {
        inst += name20(i.name);
        put16(inst, bags);
        putZones(i.zones, 53, ibag, igen, imod, bags, gens, mods);
    }
    inst += name20("EOI");
    put16(inst, bags);
    put16(ibag, gens);
    put16(ibag, mods);
    put32(igen, 0);
    imod += QByteArray(10, '\0');

    QByteArray phdr, pbag, pgen, pmod;
    bags = gens = mods = 0;
    const auto putPreset = [&phdr](const std::string& name, int program, int bank, int bag) {
        phdr += name20(name);
        put16(phdr, program);
        put16(phdr, bank);
        put16(phdr, bag);
        put32(phdr, 0);
        put32(phdr, 0);
        put32(phdr, 0);
    };
    for (const FontPreset& p : recipe.presets) {
        putPreset(p.name, p.program, p.bank, bags);
        putZones(p.zones, 41, pbag, pgen, pmod, bags, gens, mods);
    }
    putPreset("EOP", 0, 0, bags);
    put16(pbag, gens);
    put16(pbag, mods);
    put32(pgen, 0);
    pmod += QByteArray(10, '\0');

    QByteArray ifil;
    const int major = recipe.versionMajor ? recipe.versionMajor : recipe.kind == Kind::Sf3 ? 3 : 2;
    put16(ifil, major);
    put16(ifil, recipe.kind == Kind::Sf2With24 ? 4 : 1);
    QByteArray sdta = chunk("smpl", smpl);
    if (recipe.kind == Kind::Sf2With24)
        sdta += chunk("sm24", sm24);
    const QByteArray body = list("INFO", chunk("ifil", ifil) + chunk("INAM", QByteArray("test\0\0", 6))) +
                            list("sdta", sdta) +
                            list("pdta", chunk("phdr", phdr) + chunk("pbag", pbag) + chunk("pmod", pmod) +
                                             chunk("pgen", pgen) + chunk("inst", inst) + chunk("ibag", ibag) +
                                             chunk("imod", imod) + chunk("igen", igen) + chunk("shdr", shdr));
    return chunk("RIFF", QByteArray("sfbk", 4) + body);
}

qsizetype chunkPayload(const QByteArray& font, const char* tag)
{
    const QByteArray wanted(tag, 4);
    qsizetype at = 12;
    while (at + 8 <= font.size()) {
        const QByteArray id = font.mid(at, 4);
        const auto size = qsizetype(quint8(font[at + 4]) | (quint8(font[at + 5]) << 8) |
                                    (quint8(font[at + 6]) << 16) | (quint32(quint8(font[at + 7])) << 24));
        if (id == wanted)
            return at + 8;
        if (id == "LIST") {
            if (font.mid(at + 8, 4) == wanted)
                return at + 12;
            at += 12; // into the list
            continue;
        }
        at += 8 + size + (size & 1);
    }
    return -1;
}

} // namespace qb::test
