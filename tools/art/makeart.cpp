// Generates the launcher's background pictures and icons.
//
// Everything is drawn procedurally from fixed seeds so the output is
// byte-identical on every run: no rand(), no clocks, no system fonts.
// Usage: makeart <output-dir> [<icon-dir>]
//   <icon-dir> gets the emblem in the hicolor theme's sizes, as <icon-dir>/NxN/apps/NAME.png,
//   for the Debian package's menu entry.

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace {

constexpr float kPi = 3.14159265358979f;

// Device pixels per picture pixel: 1 for the pictures themselves, 2 for their "@2x" versions
// that high-DPI screens get. Every length below is in picture pixels and goes through px();
// every noise frequency is divided by gScale. Multiplying or dividing by 1 is exact, so the
// 1x pictures stay byte for byte what they were.
float gScale = 1.0f;

float px(float v)
{
    return v * gScale;
}

// ---------------------------------------------------------------------------
// Randomness: a tiny xorshift generator and an integer hash for noise, so the
// pictures do not depend on the C library's rand().

class Rng
{
public:
    explicit Rng(uint32_t seed) : m_state(seed ? seed : 0x9e3779b9u) {}

    uint32_t next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state;
    }

    // Uniform in [0, 1).
    float unit() { return float(next() >> 8) / float(1u << 24); }
    float range(float lo, float hi) { return lo + (hi - lo) * unit(); }

private:
    uint32_t m_state;
};

uint32_t hash3(int32_t x, int32_t y, uint32_t seed)
{
    uint32_t h = seed * 0x27d4eb2du;
    h ^= uint32_t(x) * 0x85ebca6bu;
    h = (h << 13) | (h >> 19);
    h ^= uint32_t(y) * 0xc2b2ae35u;
    h ^= h >> 16;
    h *= 0x7feb352du;
    h ^= h >> 15;
    h *= 0x846ca68bu;
    h ^= h >> 16;
    return h;
}

float hashUnit(int32_t x, int32_t y, uint32_t seed)
{
    return float(hash3(x, y, seed) >> 8) / float(1u << 24);
}

float smooth01(float t)
{
    return t * t * (3.0f - 2.0f * t);
}

float clamp01(float v)
{
    return std::min(1.0f, std::max(0.0f, v));
}

float smoothstep(float e0, float e1, float v)
{
    return smooth01(clamp01((v - e0) / (e1 - e0)));
}

float lerp(float a, float b, float t)
{
    return a + (b - a) * t;
}

// Value noise in [0, 1].
float valueNoise(float x, float y, uint32_t seed)
{
    const float fx = std::floor(x);
    const float fy = std::floor(y);
    const int32_t ix = int32_t(fx);
    const int32_t iy = int32_t(fy);
    const float tx = smooth01(x - fx);
    const float ty = smooth01(y - fy);
    const float a = hashUnit(ix, iy, seed);
    const float b = hashUnit(ix + 1, iy, seed);
    const float c = hashUnit(ix, iy + 1, seed);
    const float d = hashUnit(ix + 1, iy + 1, seed);
    return lerp(lerp(a, b, tx), lerp(c, d, tx), ty);
}

// Fractal sum of value noise, roughly in [0, 1].
float fbm(float x, float y, int octaves, uint32_t seed)
{
    float sum = 0.0f;
    float amp = 0.5f;
    float norm = 0.0f;
    for (int i = 0; i < octaves; ++i) {
        sum += amp * valueNoise(x, y, seed + uint32_t(i) * 1013u);
        norm += amp;
        amp *= 0.5f;
        x = x * 2.03f + 17.1f;
        y = y * 2.03f - 9.7f;
    }
    return sum / norm;
}

// ---------------------------------------------------------------------------
// Floating point canvas. Colours are 0..1 sRGB-ish values; the final
// conversion dithers to hide banding in the dark gradients.

struct Rgb
{
    float r = 0, g = 0, b = 0;
};

Rgb rgb(int r, int g, int b)
{
    return {r / 255.0f, g / 255.0f, b / 255.0f};
}

Rgb mix(const Rgb &a, const Rgb &b, float t)
{
    return {lerp(a.r, b.r, t), lerp(a.g, b.g, t), lerp(a.b, b.b, t)};
}

Rgb scale(const Rgb &c, float k)
{
    return {c.r * k, c.g * k, c.b * k};
}

class Canvas
{
public:
    Canvas(int w, int h) : m_w(w), m_h(h), m_px(size_t(w) * size_t(h)) {}

    int width() const { return m_w; }
    int height() const { return m_h; }
    Rgb &at(int x, int y) { return m_px[size_t(y) * size_t(m_w) + size_t(x)]; }

    void blend(int x, int y, const Rgb &c, float a)
    {
        if (x < 0 || y < 0 || x >= m_w || y >= m_h || a <= 0.0f)
            return;
        Rgb &p = at(x, y);
        p = mix(p, c, std::min(1.0f, a));
    }

    void add(int x, int y, const Rgb &c, float k)
    {
        if (x < 0 || y < 0 || x >= m_w || y >= m_h)
            return;
        Rgb &p = at(x, y);
        p.r += c.r * k;
        p.g += c.g * k;
        p.b += c.b * k;
    }

    // Vertical gradient through (position 0..1, colour) stops.
    void verticalGradient(const std::vector<std::pair<float, Rgb>> &stops)
    {
        for (int y = 0; y < m_h; ++y) {
            const float t = float(y) / float(m_h - 1);
            Rgb c = stops.front().second;
            for (size_t i = 1; i < stops.size(); ++i) {
                if (t <= stops[i].first) {
                    const float span = stops[i].first - stops[i - 1].first;
                    const float k = span > 0 ? (t - stops[i - 1].first) / span : 1.0f;
                    c = mix(stops[i - 1].second, stops[i].second, smooth01(clamp01(k)));
                    break;
                }
                c = stops[i].second;
            }
            for (int x = 0; x < m_w; ++x)
                at(x, y) = c;
        }
    }

    // Additive soft light: a gaussian core with a long gentle tail.
    void glow(float cx, float cy, float rx, float ry, const Rgb &c, float strength)
    {
        for (int y = 0; y < m_h; ++y) {
            const float dy = (float(y) - cy) / ry;
            for (int x = 0; x < m_w; ++x) {
                const float dx = (float(x) - cx) / rx;
                const float d2 = dx * dx + dy * dy;
                const float f = 0.65f * std::exp(-d2 * 2.2f) + 0.35f / (1.0f + 6.0f * d2);
                add(x, y, c, f * strength);
            }
        }
    }

    // Small gaussian dot, used for stars, snow and embers.
    void splat(float cx, float cy, float radius, const Rgb &c, float strength)
    {
        const int r = int(std::ceil(radius * 3.0f)) + 1;
        const int x0 = int(std::floor(cx)) - r;
        const int y0 = int(std::floor(cy)) - r;
        const float inv = 1.0f / (radius * radius);
        for (int y = y0; y <= y0 + 2 * r; ++y) {
            for (int x = x0; x <= x0 + 2 * r; ++x) {
                const float dx = float(x) + 0.5f - cx;
                const float dy = float(y) + 0.5f - cy;
                const float f = std::exp(-(dx * dx + dy * dy) * inv);
                if (f > 0.002f)
                    add(x, y, c, f * strength);
            }
        }
    }

    // Multiplies every pixel by a factor from the callback.
    void shade(const std::function<float(int, int)> &factor)
    {
        for (int y = 0; y < m_h; ++y)
            for (int x = 0; x < m_w; ++x) {
                const float k = factor(x, y);
                Rgb &p = at(x, y);
                p = scale(p, k);
            }
    }

    // Drifting noise fog, blended towards `c` inside a horizontal band.
    void fog(float yCenter, float halfHeight, float noiseScale, const Rgb &c, float strength,
             uint32_t seed)
    {
        const int y0 = std::max(0, int(yCenter - halfHeight * 2.5f));
        const int y1 = std::min(m_h - 1, int(yCenter + halfHeight * 2.5f));
        for (int y = y0; y <= y1; ++y) {
            const float dy = (float(y) - yCenter) / halfHeight;
            const float band = std::exp(-dy * dy);
            for (int x = 0; x < m_w; ++x) {
                const float n = fbm(x / (noiseScale * 2.6f), y / noiseScale, 5, seed);
                const float a = band * smoothstep(0.32f, 0.8f, n) * strength;
                blend(x, y, c, a);
            }
        }
    }

    // Noise dither suits JPEG; the ordered pattern keeps PNGs compressible.
    enum class Dither { Noise, Ordered };

    QImage toImage(uint32_t ditherSeed, Dither mode = Dither::Noise) const
    {
        static const int bayer[4][4] = {
            {0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
        QImage img(m_w, m_h, QImage::Format_RGB32);
        for (int y = 0; y < m_h; ++y) {
            auto *line = reinterpret_cast<QRgb *>(img.scanLine(y));
            for (int x = 0; x < m_w; ++x) {
                const Rgb &p = m_px[size_t(y) * size_t(m_w) + size_t(x)];
                const float d = mode == Dither::Noise ? hashUnit(x, y, ditherSeed) - 0.5f
                                                      : (bayer[y & 3][x & 3] + 0.5f) / 16.0f - 0.5f;
                line[x] = qRgb(quantize(p.r, d), quantize(p.g, d), quantize(p.b, d));
            }
        }
        return img;
    }

private:
    static int quantize(float v, float dither)
    {
        // Soft shoulder so bright glows roll off instead of clipping hard.
        if (v > 0.8f)
            v = 0.8f + 0.2f * (1.0f - std::exp(-(v - 0.8f) / 0.2f));
        const float q = std::max(0.0f, v) * 255.0f + dither;
        return std::clamp(int(std::lround(q)), 0, 255);
    }

    int m_w;
    int m_h;
    std::vector<Rgb> m_px;
};

// ---------------------------------------------------------------------------
// Mountains: a ridge line from midpoint displacement plus a few broad sines,
// filled with a textured body, optional snow caps and rim light.

// Ridged 1D noise gives sharp peaks where the noise crosses its midpoint; a
// few optional broad sines tilt the whole range.
std::vector<float> ridgeLine(int width, float base, float amplitude, float peaks, float sharpness,
                             uint32_t seed, const std::vector<std::pair<float, float>> &sines = {})
{
    std::vector<float> v(static_cast<size_t>(width));
    Rng rng(seed);
    const float phase = rng.range(0.0f, 2.0f * kPi);
    for (int x = 0; x < width; ++x) {
        const float u = float(x) / float(width);
        float sum = 0.0f;
        float a = 1.0f;
        float f = peaks;
        float norm = 0.0f;
        for (int o = 0; o < 7; ++o) {
            const float n = valueNoise(u * f, 0.37f + float(o) * 11.3f, seed + uint32_t(o) * 31u);
            sum += a * std::pow(1.0f - std::fabs(2.0f * n - 1.0f), sharpness);
            norm += a;
            a *= 0.47f;
            f *= 2.13f;
        }
        sum /= norm;
        for (const auto &s : sines)
            sum += s.second * std::sin(u * s.first * 2.0f * kPi + phase * s.first);
        v[size_t(x)] = sum;
    }
    // Stretch so `base` is the lowest saddle and the highest peak reaches
    // exactly `amplitude` above it, whatever the seed.
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    const float vmin = *lo;
    const float span = std::max(1e-6f, *hi - vmin);
    for (float &e : v)
        e = base - (e - vmin) / span * amplitude;
    return v;
}

// Box-smoothed copy of a ridge, used for haze so it does not rise in columns.
std::vector<float> smoothRidge(const std::vector<float> &ridge, int radius)
{
    std::vector<float> cur = ridge;
    const int w = int(ridge.size());
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<float> next(cur.size());
        for (int x = 0; x < w; ++x) {
            float sum = 0.0f;
            for (int k = -radius; k <= radius; ++k)
                sum += cur[size_t(std::clamp(x + k, 0, w - 1))];
            next[size_t(x)] = sum / float(2 * radius + 1);
        }
        cur.swap(next);
    }
    return cur;
}

struct MountainStyle
{
    Rgb top;               // body colour right under the ridge
    Rgb bottom;            // body colour further down
    float gradientDepth;   // pixels over which top fades into bottom
    float texture = 0.15f; // strength of the rock noise
    uint32_t seed = 1;
    // Snow caps lit from the light direction (sign of lightSide: -1 left, 1 right).
    float snowDepth = 0.0f;
    Rgb snowLit;
    Rgb snowShade;
    float lightSide = 1.0f;
    // Thin glowing edge along the ridge.
    Rgb rim;
    float rimWidth = 0.0f;
    float rimStrength = 0.0f;
    // Haze rising from behind the ridge, separates the layers.
    Rgb haze;
    float hazeHeight = 0.0f;
    float hazeStrength = 0.0f;
};

void drawMountains(Canvas &cv, const std::vector<float> &ridge, const MountainStyle &s)
{
    const int w = cv.width();
    const int h = cv.height();
    const std::vector<float> soft = smoothRidge(ridge, int(px(40.0f)));
    const float gradientDepth = px(s.gradientDepth);
    const float snowDepth = px(s.snowDepth);
    const float rimWidth = px(s.rimWidth);
    const float hazeHeight = px(s.hazeHeight);
    auto ridgeAt = [&](float x) {
        const float cx = std::clamp(x, 0.0f, float(w - 1));
        const int i = std::min(w - 2, int(cx));
        return lerp(ridge[size_t(i)], ridge[size_t(i) + 1], cx - float(i));
    };
    for (int x = 0; x < w; ++x) {
        const float r = ridge[size_t(x)];

        if (s.hazeStrength > 0.0f) {
            const float sr = std::max(soft[size_t(x)], r - hazeHeight * 0.5f);
            const int y0 = std::max(0, int(sr - hazeHeight * 5.0f));
            for (int y = y0; y < int(std::ceil(r)) && y < h; ++y) {
                const float d = std::max(0.0f, sr - float(y)) / hazeHeight;
                cv.add(x, y, s.haze, std::exp(-d) * s.hazeStrength);
            }
        }

        const float snowLine =
            snowDepth * (0.35f + 0.9f * fbm(x / px(150.0f), 3.3f, 3, s.seed + 3u));
        for (int y = std::max(0, int(std::floor(r))); y < h; ++y) {
            const float depth = float(y) - r;
            const float cover = clamp01(depth + 1.0f);
            if (cover <= 0.0f)
                continue;
            // Faces: the ridge slope, measured over a window that widens with
            // depth, stands in for the surface direction of the rock below.
            const float k = px(2.0f) + std::min(px(60.0f), std::max(0.0f, depth) * 0.5f);
            const float slope = (ridgeAt(float(x) + k) - ridgeAt(float(x) - k)) / (2.0f * k);
            const float facing = clamp01(0.5f + s.lightSide * slope * 1.3f);

            const float n = fbm(x * 0.012f / gScale, y * 0.02f / gScale, 4, s.seed);
            Rgb c = mix(s.top, s.bottom, smoothstep(0.0f, gradientDepth, depth));
            c = scale(c, (1.0f + (n - 0.5f) * 2.0f * s.texture) * (0.75f + 0.5f * facing));

            if (snowDepth > 0.0f) {
                const float lean = std::clamp(slope * 1.5f, -0.8f, 0.8f);
                const float g =
                    fbm((x - lean * depth) / px(26.0f), depth / px(80.0f), 3, s.seed + 7u);
                float snow = 1.0f - smoothstep(snowLine * 0.6f, snowLine, depth);
                snow *= smoothstep(0.36f, 0.54f, g + 0.3f * (1.0f - depth / snowLine));
                const Rgb sc = mix(s.snowShade, s.snowLit, std::pow(facing, 1.3f));
                c = mix(c, scale(sc, 0.9f + 0.2f * n), clamp01(snow));
            }
            if (s.rimStrength > 0.0f) {
                const float rim = std::exp(-std::max(0.0f, depth) / rimWidth) * s.rimStrength;
                c = {c.r + s.rim.r * rim, c.g + s.rim.g * rim, c.b + s.rim.b * rim};
            }
            cv.blend(x, y, c, cover);
        }
    }
}

// Jagged spires for the fel scene: narrow triangles with crooked tips,
// merged into a ridge line so they share the fill and rim light.
void addSpires(std::vector<float> &ridge, int count, float minH, float maxH, float minW, float maxW,
               uint32_t seed)
{
    Rng rng(seed);
    const int w = int(ridge.size());
    for (int i = 0; i < count; ++i) {
        const float cx = rng.range(0.0f, float(w));
        const float base = ridge[size_t(std::clamp(int(cx), 0, w - 1))];
        // A main shard with one or two broken shards leaning off it.
        const int shards = 1 + int(rng.unit() * 3.0f);
        for (int sIdx = 0; sIdx < shards; ++sIdx) {
            const float height = px(rng.range(minH, maxH)) * (sIdx == 0 ? 1.0f : 0.55f);
            const float half = px(rng.range(minW, maxW)) * (sIdx == 0 ? 1.0f : 0.6f);
            const float px = cx + (sIdx == 0 ? 0.0f : rng.range(-1.2f, 1.2f) * half * 1.6f);
            const float tip = rng.range(-0.45f, 0.45f); // tip offset as a fraction of width
            for (int x = std::max(0, int(px - half)); x < std::min(w, int(px + half) + 1); ++x) {
                const float t = (float(x) - px) / half;
                // Straight flanks to an off-centre tip.
                const float profile =
                    t < tip ? (t + 1.0f) / (tip + 1.0f) : (1.0f - t) / (1.0f - tip);
                const float chip = 1.0f - 0.06f * hashUnit(int(float(x) / gScale) / 3, i, seed);
                const float top = base - height * clamp01(profile) * chip;
                ridge[size_t(x)] = std::min(ridge[size_t(x)], top);
            }
        }
    }
}

// Darkens the areas under the launcher's own UI: the logo/client buttons at
// the top left and the bottom button row, so white text stays readable.
void readabilityShade(Canvas &cv, float leftWidth, float leftStrength, float bottomHeight,
                      float bottomStrength, float topStrength)
{
    const float h = float(cv.height());
    bottomHeight = px(bottomHeight);
    cv.shade([&](int x, int y) {
        const float fx = float(x);
        const float fy = float(y);
        float k = 1.0f;
        // Left column, strongest in the upper part where the logo sits.
        const float left = 1.0f - smoothstep(0.0f, leftWidth, fx);
        const float upper = 1.0f - 0.45f * smoothstep(0.0f, h, fy);
        k *= 1.0f - leftStrength * left * upper;
        // Bottom row.
        k *= 1.0f -
             bottomStrength * smoothstep(h - bottomHeight * 1.8f, h - bottomHeight * 0.4f, fy);
        // Title bar.
        k *= 1.0f - topStrength * (1.0f - smoothstep(0.0f, px(70.0f), fy));
        return k;
    });
}

void vignette(Canvas &cv, float strength, float power)
{
    const float cx = cv.width() * 0.5f;
    const float cy = cv.height() * 0.5f;
    cv.shade([&](int x, int y) {
        const float dx = (float(x) - cx) / cx;
        const float dy = (float(y) - cy) / cy;
        const float d = std::sqrt(dx * dx * 0.8f + dy * dy) / std::sqrt(1.8f);
        return 1.0f - strength * std::pow(clamp01(d), power);
    });
}

// A rising ember with a short fading trail.
void ember(Canvas &cv, float x, float y, float size, const Rgb &c, float strength, Rng &rng)
{
    size = px(size);
    const float drift = rng.range(-0.6f, 0.6f);
    const int trail = 2 + int(rng.unit() * 6.0f);
    for (int i = trail; i >= 0; --i) {
        const float t = float(i) / float(trail + 1);
        cv.splat(x + drift * i * size * 1.4f, y + i * size * 1.6f, size * (1.0f - 0.5f * t), c,
                 strength * (1.0f - t) * (i == 0 ? 1.0f : 0.45f));
    }
    cv.splat(x, y, size * 3.0f, c, strength * 0.08f);
}

void starField(Canvas &cv, int count, float maxY, uint32_t seed, float strength)
{
    Rng rng(seed);
    for (int i = 0; i < count; ++i) {
        const float x = rng.range(0.0f, float(cv.width()));
        const float y = maxY * std::pow(rng.unit(), 1.4f);
        const float b = std::pow(rng.unit(), 3.0f);
        const Rgb tint = mix(rgb(170, 220, 255), rgb(255, 240, 220), rng.unit());
        cv.splat(x, y, px(0.55f + 0.5f * b), tint, strength * (0.25f + 1.2f * b));
    }
}

// ---------------------------------------------------------------------------
// Scenes.

QImage mainBackground()
{
    const int W = int(px(1920)), H = int(px(1910));
    Canvas cv(W, H);
    // A vista from above: sky and peaks in the top part, then valleys
    // stepping down into darkness.
    cv.verticalGradient({{0.0f, rgb(3, 7, 9)},
                         {0.12f, rgb(6, 18, 20)},
                         {0.27f, rgb(16, 48, 45)},
                         {0.34f, rgb(10, 30, 30)},
                         {0.60f, rgb(5, 14, 15)},
                         {1.0f, rgb(2, 4, 5)}});

    starField(cv, 700, px(430.0f), 0x51a5u, 0.55f);
    cv.fog(px(170.0f), px(70.0f), px(150.0f), rgb(14, 52, 50), 0.45f, 0xc10du);
    cv.fog(px(330.0f), px(60.0f), px(120.0f), rgb(20, 66, 60), 0.35f, 0xc10eu);

    // Teal sky light and a warm ember glow behind the far peaks.
    cv.glow(W * 0.62f, px(520.0f), W * 0.50f, px(300.0f), rgb(0, 110, 95), 0.32f);
    cv.glow(W * 0.60f, px(540.0f), px(480.0f), px(140.0f), rgb(255, 120, 40), 0.36f);
    cv.glow(W * 0.60f, px(560.0f), px(160.0f), px(50.0f), rgb(255, 170, 80), 0.30f);

    struct Step
    {
        float base, amp, peaks, sharp;
        Rgb top, bottom, haze;
        float fogY;
        Rgb fogColor;
    };
    const Step steps[] = {
        {620.0f, 280.0f, 3.0f, 1.4f, rgb(26, 60, 60), rgb(14, 34, 36), rgb(40, 120, 105), 660.0f,
         rgb(30, 84, 76)},
        {800.0f, 230.0f, 3.8f, 1.3f, rgb(15, 36, 37), rgb(8, 20, 21), rgb(30, 100, 88), 850.0f,
         rgb(22, 64, 60)},
        {1040.0f, 240.0f, 2.6f, 1.2f, rgb(10, 25, 26), rgb(5, 13, 14), rgb(25, 80, 72), 1090.0f,
         rgb(16, 48, 46)},
        {1330.0f, 260.0f, 2.2f, 1.2f, rgb(7, 17, 18), rgb(3, 8, 9), rgb(20, 64, 58), 1400.0f,
         rgb(12, 36, 34)},
    };
    uint32_t seed = 0xa10u;
    for (const Step &st : steps) {
        MountainStyle m;
        m.top = st.top;
        m.bottom = st.bottom;
        m.gradientDepth = 260.0f;
        m.texture = 0.14f;
        m.seed = seed;
        m.haze = st.haze;
        m.hazeHeight = 45.0f;
        m.hazeStrength = 0.10f;
        if (seed == 0xa10u) {
            m.snowDepth = 70.0f;
            m.snowLit = rgb(110, 160, 150);
            m.snowShade = rgb(36, 70, 70);
        } else {
            m.rim = rgb(255, 130, 60);
            m.rimWidth = 1.6f;
            m.rimStrength = 0.10f;
        }
        m.lightSide = 1.0f;
        drawMountains(cv, ridgeLine(W, px(st.base), px(st.amp), st.peaks, st.sharp, seed), m);
        cv.fog(px(st.fogY), px(40.0f), px(90.0f), st.fogColor, 0.5f, seed + 0x100u);
        ++seed;
    }

    MountainStyle near;
    near.top = rgb(4, 10, 11);
    near.bottom = rgb(1, 3, 4);
    near.gradientDepth = 260.0f;
    near.texture = 0.18f;
    near.seed = 0xa20u;
    near.rim = rgb(0, 255, 208);
    near.rimWidth = 1.4f;
    near.rimStrength = 0.12f;
    near.lightSide = 1.0f;
    drawMountains(cv, ridgeLine(W, px(1780.0f), px(260.0f), 1.8f, 1.1f, 0xa20u), near);

    // Embers drifting up out of the valleys, thicker towards the bottom.
    Rng rng(0xe3be5u);
    for (int i = 0; i < 320; ++i) {
        const float x = rng.range(0.0f, float(W));
        const float y = px(620.0f) + (H - px(660.0f)) * std::sqrt(rng.unit());
        const float near2 = std::pow(rng.unit(), 2.5f);
        const Rgb c = rng.unit() < 0.75f ? rgb(255, 140, 50) : rgb(0, 255, 208);
        ember(cv, x, y, 0.8f + near2 * 2.2f, c, 0.5f + near2 * 0.6f, rng);
    }

    readabilityShade(cv, W * 0.30f, 0.55f, 80.0f, 0.55f, 0.35f);
    vignette(cv, 0.50f, 2.2f);
    return cv.toImage(0xd1u);
}

QImage wrathBackground()
{
    const int W = int(px(1706)), H = int(px(720));
    Canvas cv(W, H);
    cv.verticalGradient({{0.0f, rgb(4, 10, 22)},
                         {0.35f, rgb(10, 30, 52)},
                         {0.55f, rgb(26, 66, 88)},
                         {0.68f, rgb(40, 90, 108)},
                         {1.0f, rgb(6, 14, 24)}});

    starField(cv, 500, H * 0.45f, 0x1ceu, 0.5f);

    // Pale aurora ribbon across the upper sky.
    for (int y = 0; y < int(H * 0.6f); ++y) {
        for (int x = 0; x < W; ++x) {
            const float u = float(x) / float(W);
            const float centre = H * (0.19f + 0.07f * std::sin(u * 5.2f + 0.8f)) +
                                 px(40.0f) * (fbm(u * 3.0f, 0.5f, 3, 0xa0u) - 0.5f);
            const float d = (float(y) - centre) / px(40.0f);
            // Sharp lower hem, long soft fade upwards, like a curtain.
            const float band = d > 0.0f ? std::exp(-d * d * 2.0f) : std::exp(d * 0.45f);
            const float curtain = fbm(x / px(60.0f), y / px(260.0f), 4, 0xa1u);
            const float fade = smoothstep(0.15f, 0.5f, u) * (1.0f - smoothstep(0.85f, 1.0f, u));
            const float a = band * smoothstep(0.3f, 0.75f, curtain) * fade;
            cv.add(x, y, mix(rgb(40, 220, 180), rgb(90, 150, 255), clamp01(-d * 0.25f)), a * 0.22f);
        }
    }

    // Cold moon glow behind the peaks.
    cv.glow(W * 0.66f, H * 0.36f, W * 0.30f, H * 0.35f, rgb(120, 200, 230), 0.22f);
    cv.glow(W * 0.66f, H * 0.24f, px(34.0f), px(34.0f), rgb(220, 245, 255), 0.45f);

    MountainStyle far;
    far.top = rgb(62, 98, 124);
    far.bottom = rgb(40, 72, 96);
    far.gradientDepth = 200.0f;
    far.texture = 0.08f;
    far.seed = 21;
    far.snowDepth = 80.0f;
    far.snowLit = rgb(182, 218, 236);
    far.snowShade = rgb(88, 128, 160);
    far.lightSide = 1.0f;
    far.haze = rgb(120, 190, 215);
    far.hazeHeight = 30.0f;
    far.hazeStrength = 0.12f;
    drawMountains(cv, ridgeLine(W, H * 0.60f, px(260.0f), 3.0f, 1.35f, 0xb21u), far);

    cv.fog(H * 0.62f, H * 0.035f, px(70.0f), rgb(110, 170, 190), 0.45f, 0xf1u);

    MountainStyle mid;
    mid.top = rgb(30, 58, 80);
    mid.bottom = rgb(14, 30, 46);
    mid.gradientDepth = 180.0f;
    mid.texture = 0.12f;
    mid.seed = 22;
    mid.snowDepth = 55.0f;
    mid.snowLit = rgb(140, 188, 215);
    mid.snowShade = rgb(52, 86, 116);
    mid.lightSide = 1.0f;
    mid.haze = rgb(80, 150, 180);
    mid.hazeHeight = 35.0f;
    mid.hazeStrength = 0.12f;
    drawMountains(cv, ridgeLine(W, H * 0.80f, px(200.0f), 4.2f, 1.25f, 0xb22u), mid);

    cv.fog(H * 0.78f, H * 0.04f, px(60.0f), rgb(70, 120, 145), 0.40f, 0xf2u);

    MountainStyle near;
    near.top = rgb(12, 26, 40);
    near.bottom = rgb(4, 9, 16);
    near.gradientDepth = 150.0f;
    near.texture = 0.15f;
    near.seed = 23;
    near.snowDepth = 30.0f;
    near.snowLit = rgb(80, 120, 150);
    near.snowShade = rgb(28, 52, 74);
    near.lightSide = 1.0f;
    near.rim = rgb(150, 220, 255);
    near.rimWidth = 1.2f;
    near.rimStrength = 0.18f;
    drawMountains(cv, ridgeLine(W, H * 1.0f, px(190.0f), 2.6f, 1.1f, 0xb23u), near);

    // Falling snow: many fine flakes, a few large out-of-focus ones.
    Rng rng(0x5e0du);
    for (int i = 0; i < 1400; ++i) {
        const float x = rng.range(0.0f, float(W));
        const float y = rng.range(0.0f, float(H));
        const float near2 = std::pow(rng.unit(), 4.0f);
        const float size = px(0.6f + near2 * 3.2f);
        const float strength = (0.35f + 0.5f * rng.unit()) * (1.0f - 0.55f * near2);
        cv.splat(x, y, size, rgb(225, 240, 255), strength);
    }

    readabilityShade(cv, W * 0.36f, 0.55f, 80.0f, 0.6f, 0.35f);
    vignette(cv, 0.50f, 2.0f);
    return cv.toImage(0xd2u);
}

QImage legionBackground()
{
    const int W = int(px(1280)), H = int(px(720));
    Canvas cv(W, H);
    cv.verticalGradient({{0.0f, rgb(4, 6, 5)},
                         {0.40f, rgb(8, 16, 10)},
                         {0.62f, rgb(18, 40, 16)},
                         {1.0f, rgb(3, 6, 4)}});

    // Fel light pouring up from below the horizon.
    const float fx = W * 0.62f;
    cv.glow(fx, H * 0.66f, W * 0.40f, H * 0.30f, rgb(80, 255, 40), 0.30f);
    cv.glow(fx, H * 0.66f, W * 0.14f, H * 0.10f, rgb(160, 255, 80), 0.35f);

    // Smoky, sickly clouds lit from below by the fel light.
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            const float n = fbm(x / px(160.0f), y / px(90.0f), 5, 0x53u);
            const float n2 = fbm(x / px(40.0f) + n * 2.0f, y / px(30.0f), 3, 0x54u);
            const float lit = std::exp(-std::pow((float(x) - fx) / (W * 0.45f), 2.0f) -
                                       std::pow((float(y) - H * 0.55f) / (H * 0.45f), 2.0f));
            const float a = smoothstep(0.45f, 0.8f, n) * (0.4f + 0.6f * n2);
            cv.add(x, y, mix(rgb(20, 30, 22), rgb(60, 200, 40), lit), a * (0.12f + 0.25f * lit));
        }
    }

    // A jagged rift tearing the sky above the glow.
    {
        Rng rng(0x41f7u);
        float x = fx + px(30.0f);
        for (float y = px(40.0f); y < H * 0.52f; y += px(1.0f)) {
            x += px(rng.range(-1.2f, 1.2f)) + (fx - x) * 0.01f;
            const float t = (y - px(40.0f)) / (H * 0.52f - px(40.0f));
            const float width = px(0.6f + 3.4f * std::sin(t * kPi));
            cv.splat(x, y, width * 5.0f, rgb(60, 255, 40), 0.022f);
            cv.splat(x, y, width * 0.7f, rgb(200, 255, 150), 0.11f);
        }
    }

    MountainStyle far;
    far.top = rgb(14, 32, 13);
    far.bottom = rgb(10, 22, 10);
    far.gradientDepth = 160.0f;
    far.texture = 0.12f;
    far.seed = 31;
    far.lightSide = 1.0f;
    far.haze = rgb(90, 255, 60);
    far.hazeHeight = 22.0f;
    far.hazeStrength = 0.09f;
    {
        auto ridge = ridgeLine(W, H * 0.72f, px(150.0f), 5.0f, 1.0f, 0xc31u);
        addSpires(ridge, 12, 40.0f, 110.0f, 8.0f, 20.0f, 0x5031u);
        drawMountains(cv, ridge, far);
    }

    cv.fog(H * 0.70f, H * 0.035f, px(55.0f), rgb(50, 150, 40), 0.35f, 0xf3u);

    MountainStyle near;
    near.top = rgb(6, 12, 6);
    near.bottom = rgb(2, 4, 2);
    near.gradientDepth = 140.0f;
    near.texture = 0.2f;
    near.seed = 32;
    near.lightSide = 1.0f;
    near.rim = rgb(120, 255, 60);
    near.rimWidth = 1.6f;
    near.rimStrength = 0.45f;
    near.haze = rgb(70, 220, 40);
    near.hazeHeight = 30.0f;
    near.hazeStrength = 0.12f;
    {
        auto ridge = ridgeLine(W, H * 0.96f, px(150.0f), 3.5f, 0.8f, 0xc32u);
        addSpires(ridge, 8, 90.0f, 230.0f, 16.0f, 38.0f, 0x5032u);
        drawMountains(cv, ridge, near);
    }

    // Embers and fel sparks rising through the smoke.
    Rng rng(0xfe1u);
    for (int i = 0; i < 220; ++i) {
        const float x = rng.range(0.0f, float(W));
        const float y = H * 0.05f + H * 0.9f * std::sqrt(rng.unit());
        const float near2 = std::pow(rng.unit(), 2.5f);
        const float pick = rng.unit();
        const Rgb c =
            pick < 0.7f ? rgb(120, 255, 60) : (pick < 0.9f ? rgb(200, 255, 90) : rgb(255, 150, 40));
        ember(cv, x, y, 0.7f + near2 * 2.0f, c, 0.55f + near2 * 0.6f, rng);
    }

    readabilityShade(cv, W * 0.34f, 0.55f, 80.0f, 0.6f, 0.3f);
    vignette(cv, 0.6f, 2.0f);
    return cv.toImage(0xd3u);
}

QImage settingsBackground()
{
    const int W = 1812, H = 612;
    Canvas cv(int(px(W)), int(px(H)));
    cv.verticalGradient({{0.0f, rgb(5, 8, 8)}, {0.5f, rgb(7, 12, 12)}, {1.0f, rgb(4, 6, 6)}});

    // Teal light gathered on the right, kept well away from the left text.
    const float cx = 880.0f, cy = H * 0.5f;
    cv.glow(px(cx), px(cy), px(420.0f), px(300.0f), rgb(0, 150, 125), 0.16f);
    cv.glow(px(cx + 520.0f), px(cy * 0.8f), px(360.0f), px(260.0f), rgb(0, 100, 85), 0.10f);
    cv.shade(
        [&](int x, int) { return 0.55f + 0.45f * smoothstep(px(250.0f), px(700.0f), float(x)); });
    QImage img = cv.toImage(0xd4u, Canvas::Dither::Ordered);

    // Ornament: concentric rings with runic ticks and a few sweeping arcs.
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.scale(gScale, gScale);
    auto teal = [](int a) { return QColor(0, 255, 208, a); };
    const QPointF c(cx, cy);
    for (int i = 0; i < 5; ++i) {
        const qreal r = 90.0 + i * 70.0;
        p.setPen(QPen(teal(i == 2 ? 46 : 26), i == 2 ? 1.6 : 1.0));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(c, r, r);
    }
    // Tick marks on the middle ring, like a compass rose.
    for (int i = 0; i < 72; ++i) {
        const qreal a = i * 2.0 * M_PI / 72.0;
        const qreal r0 = 230.0;
        const qreal r1 = (i % 6 == 0) ? 262.0 : 244.0;
        p.setPen(QPen(teal(i % 6 == 0 ? 60 : 30), i % 6 == 0 ? 1.6 : 1.0));
        p.drawLine(QPointF(cx + r0 * std::cos(a), cy + r0 * std::sin(a)),
                   QPointF(cx + r1 * std::cos(a), cy + r1 * std::sin(a)));
    }
    // Diamond points on the inner ring.
    for (int i = 0; i < 8; ++i) {
        const qreal a = i * M_PI / 4.0;
        const QPointF m(cx + 160.0 * std::cos(a), cy + 160.0 * std::sin(a));
        QPainterPath d;
        d.moveTo(m + QPointF(0, -6));
        d.lineTo(m + QPointF(6, 0));
        d.lineTo(m + QPointF(0, 6));
        d.lineTo(m + QPointF(-6, 0));
        d.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(teal(70));
        p.drawPath(d);
    }
    // Sweeping filigree arcs trailing off to the right.
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 6; ++i) {
        QPainterPath arc;
        const qreal y0 = cy - 200.0 + i * 80.0;
        arc.moveTo(cx + 300.0, cy);
        arc.cubicTo(cx + 420.0, y0, cx + 640.0, y0 + (i - 2.5) * 40.0, W + 40.0,
                    cy + (i - 2.5) * 110.0);
        p.setPen(QPen(teal(30 - std::abs(i * 2 - 5) * 3), 1.2));
        p.drawPath(arc);
    }
    // A soft horizon line through the centre.
    QLinearGradient line(cx - 500.0, 0, W, 0);
    line.setColorAt(0.0, teal(0));
    line.setColorAt(0.35, teal(60));
    line.setColorAt(1.0, teal(0));
    p.setPen(QPen(QBrush(line), 1.0));
    p.drawLine(QPointF(cx - 500.0, cy), QPointF(W, cy));
    p.end();
    return img;
}

// Ember emblem: a flame rising through the gap of a teal ring.
QImage emblem(int size)
{
    const int ss = 8; // supersampling factor
    const qreal S = size * ss;
    QImage big(size * ss, size * ss, QImage::Format_ARGB32_Premultiplied);
    big.fill(Qt::transparent);
    QPainter p(&big);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.scale(S, S);

    const QColor teal(0, 255, 208);
    const QColor orange(255, 136, 24);

    // Ring, open at the top where the flame breaks through.
    QPen ring(teal, 0.085);
    ring.setCapStyle(Qt::RoundCap);
    p.setPen(ring);
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(0.09, 0.11, 0.82, 0.82), 115 * 16, 310 * 16);

    QPainterPath flame;
    flame.moveTo(0.50, 0.03);
    flame.cubicTo(0.60, 0.22, 0.80, 0.36, 0.77, 0.60);
    flame.cubicTo(0.75, 0.78, 0.63, 0.86, 0.50, 0.86);
    flame.cubicTo(0.37, 0.86, 0.25, 0.78, 0.23, 0.60);
    flame.cubicTo(0.21, 0.46, 0.30, 0.38, 0.35, 0.26);
    flame.cubicTo(0.39, 0.36, 0.42, 0.41, 0.46, 0.44);
    flame.cubicTo(0.44, 0.30, 0.45, 0.16, 0.50, 0.03);
    QLinearGradient fg(0.5, 0.03, 0.5, 0.86);
    fg.setColorAt(0.0, QColor(255, 196, 64));
    fg.setColorAt(0.6, orange);
    fg.setColorAt(1.0, QColor(214, 70, 10));
    p.setPen(Qt::NoPen);
    p.setBrush(fg);
    p.drawPath(flame);

    QPainterPath core;
    core.moveTo(0.51, 0.40);
    core.cubicTo(0.58, 0.52, 0.66, 0.60, 0.63, 0.70);
    core.cubicTo(0.61, 0.78, 0.56, 0.80, 0.50, 0.80);
    core.cubicTo(0.43, 0.80, 0.38, 0.76, 0.37, 0.68);
    core.cubicTo(0.36, 0.58, 0.46, 0.52, 0.51, 0.40);
    QRadialGradient cg(0.50, 0.70, 0.22);
    cg.setColorAt(0.0, QColor(200, 255, 240));
    cg.setColorAt(0.5, teal);
    cg.setColorAt(1.0, QColor(0, 190, 160));
    p.setBrush(cg);
    p.drawPath(core);
    p.end();

    return big.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
        .convertToFormat(QImage::Format_ARGB32);
}

bool save(const QImage &img, const QDir &dir, const QString &name, const char *format, int quality)
{
    QImageWriter writer(dir.filePath(name), format);
    if (quality >= 0)
        writer.setQuality(quality);
    if (!writer.write(img)) {
        QTextStream(stderr) << "makeart: cannot write " << name << ": " << writer.errorString()
                            << '\n';
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    // No window is ever shown; the offscreen platform keeps this usable on
    // build machines without a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    if (argc != 2 && argc != 3) {
        QTextStream(stderr) << "usage: makeart <output-dir> [<icon-dir>]\n";
        return 2;
    }
    QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.mkpath(QStringLiteral("."))) {
        QTextStream(stderr) << "makeart: cannot create " << dir.path() << '\n';
        return 1;
    }

    bool ok = true;
    // The pictures, then their "@2x" versions, which Qt's style sheets pick on screens scaled
    // above 1.
    for (const float scale : {1.0f, 2.0f}) {
        gScale = scale;
        const QString suffix = scale == 1.0f ? QString() : QStringLiteral("@2x");
        ok &= save(mainBackground(), dir, QStringLiteral("main.bg%1.jpg").arg(suffix), "jpg", 85);
        ok &= save(wrathBackground(), dir, QStringLiteral("wotlk-bg_small%1.jpg").arg(suffix),
                   "jpg", 85);
        ok &= save(legionBackground(), dir, QStringLiteral("legion-bg_small%1.jpg").arg(suffix),
                   "jpg", 85);
        ok &= save(settingsBackground(), dir, QStringLiteral("settings%1.png").arg(suffix), "png",
                   -1);
    }
    ok &= save(emblem(32), dir, QStringLiteral("embercrest.ico"), "ico", -1);
    ok &= save(emblem(33), dir, QStringLiteral("wow.png"), "png", -1);
    if (argc == 3) {
        // Drawn at each size rather than scaled from one, so small ones stay sharp.
        for (const int size : {16, 22, 24, 32, 48, 64, 128, 256, 512}) {
            QDir sizeDir(QString::fromLocal8Bit(argv[2]));
            const QString sub = QStringLiteral("%1x%1/apps").arg(size);
            if (!sizeDir.mkpath(sub) || !sizeDir.cd(sub)) {
                QTextStream(stderr) << "makeart: cannot create " << sizeDir.filePath(sub) << '\n';
                return 1;
            }
            ok &= save(emblem(size), sizeDir, QStringLiteral("embercrest-launcher.png"), "png", -1);
        }
    }
    return ok ? 0 : 1;
}
