<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>StatusPage</name>
    <message>
        <source>Skyloom status</source>
        <translation>Skyloom 状态</translation>
    </message>
    <message>
        <source>Reading…</source>
        <translation>正在读取…</translation>
    </message>
    <message>
        <source>Newest forecast</source>
        <translation>最新预报</translation>
    </message>
    <message>
        <source>What changed</source>
        <translation>有何变化</translation>
    </message>
    <message>
        <source>inserted</source>
        <translation>新增</translation>
    </message>
    <message>
        <source>deleted</source>
        <translation>删除</translation>
    </message>
    <message>
        <source>The last 14 days by timed slots</source>
        <translation>最近 14 天的定时时段</translation>
    </message>
    <message>
        <source>Hover over a slot, or tap it, for its attempt.</source>
        <translation>将鼠标停在时段上或轻触它，可查看该时段的获取记录。</translation>
    </message>
    <message>
        <source>Stored</source>
        <translation>写入新预报</translation>
    </message>
    <message>
        <source>Unchanged</source>
        <translation>预报未变</translation>
    </message>
    <message>
        <source>Nothing extracted</source>
        <translation>未提取到预报</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>获取出错</translation>
    </message>
    <message>
        <source>No attempt</source>
        <translation>未获取</translation>
    </message>
    <message>
        <source>To come</source>
        <translation>未到时间</translation>
    </message>
    <message>
        <source>Newest attempts</source>
        <translation>最近的获取记录</translation>
    </message>
    <message>
        <source>Time</source>
        <translation>时间</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>状态</translation>
    </message>
    <message>
        <source>Number</source>
        <translation>错误号</translation>
    </message>
    <message>
        <source>Description</source>
        <translation>描述</translation>
    </message>
    <message>
        <source>Stored %1</source>
        <translation>写入于 %1</translation>
    </message>
    <message>
        <source>No forecast has been stored yet.</source>
        <translation>尚未写入任何预报。</translation>
    </message>
    <message>
        <source>Since the forecast of %1:</source>
        <translation>与 %1 的预报相比：</translation>
    </message>
    <message>
        <source>The first forecast stored: there is none to compare with.</source>
        <translation>这是写入的第一条预报，没有可比较的预报。</translation>
    </message>
    <message>
        <source>Working</source>
        <translation>运行正常</translation>
    </message>
    <message>
        <source>Failing</source>
        <translation>运行异常</translation>
    </message>
    <message>
        <source>No attempt has been logged yet.</source>
        <translation>尚无任何获取记录。</translation>
    </message>
    <message>
        <source>The newest attempt failed: %1</source>
        <translation>最近一次获取失败：%1</translation>
    </message>
    <message>
        <source>No attempt logged since the timed fetch due at %1.</source>
        <translation>应在 %1 进行的定时获取至今没有记录。</translation>
    </message>
    <message>
        <source>The database cannot be read; the program&apos;s log says why.</source>
        <translation>无法读取数据库，原因见程序日志。</translation>
    </message>
    <message>
        <source>The program answered: %1</source>
        <translation>程序答复：%1</translation>
    </message>
    <message>
        <source>Messages waiting to be delivered: %1 · given up: %2</source>
        <translation>待送达的消息：%1 · 已放弃：%2</translation>
    </message>
    <message>
        <source>Last attempt %1 · last success %2 · failures since: %3</source>
        <translation>最近获取 %1 · 最近成功 %2 · 此后失败次数：%3</translation>
    </message>
    <message>
        <source>never</source>
        <translation>从未</translation>
    </message>
    <message>
        <source>%1, slot %2–%3: %4</source>
        <translation>%1，时段 %2–%3：%4</translation>
    </message>
    <message>
        <source>Checked at %1</source>
        <translation>检查于 %1</translation>
    </message>
    <message>
        <source>Live: a new forecast shows at once. %1</source>
        <translation>实时：新预报即刻显示。%1</translation>
    </message>
    <message>
        <source>Checking every 30 seconds. %1</source>
        <translation>每 30 秒检查一次。%1</translation>
    </message>
    <message>
        <source>Skyloom forecasts (Atom)</source>
        <translation>Skyloom 预报（Atom）</translation>
    </message>
    <message>
        <source>The program cannot be reached; trying again every 30 seconds.</source>
        <translation>无法连接程序，每 30 秒重试一次。</translation>
    </message>
    <message>
        <source>failed</source>
        <translation>失败</translation>
    </message>
    <message>
        <source>Period</source>
        <translation>时段</translation>
    </message>
    <message>
        <source>Weather</source>
        <translation>天气</translation>
    </message>
    <message>
        <source>Wind</source>
        <translation>风</translation>
    </message>
    <message>
        <source>Lowest</source>
        <translation>最低</translation>
    </message>
    <message>
        <source>Highest</source>
        <translation>最高</translation>
    </message>
    <message>
        <source>Humidity</source>
        <translation>相对湿度</translation>
    </message>
    <message>
        <source>%1, issued at %2:00</source>
        <translation>%1%2点发布</translation>
    </message>
    <message>
        <source>gusts %1</source>
        <translation>阵风%1</translation>
    </message>
    <message>
        <source>Not read: %1</source>
        <translation>未能识别：%1</translation>
    </message>
    <message>
        <source>Temperatures forecast over the last 14 days</source>
        <translation>近 14 天预报的气温</translation>
    </message>
    <message>
        <source>The highest and lowest that each day&apos;s newest forecast names. Hover over a day, or tap it, for that forecast.</source>
        <translation>每天最新一条预报中的最高和最低气温。将指针悬停在某一天上或轻点它，可查看那条预报。</translation>
    </message>
    <message>
        <source>No forecast of these days names a temperature.</source>
        <translation>这些天的预报都没有给出气温。</translation>
    </message>
    <message>
        <source>%1: highest %2, lowest %3</source>
        <translation>%1：最高 %2，最低 %3</translation>
    </message>
</context>
<context>
    <name>skyloom::AttemptListModel</name>
    <message>
        <source>Time</source>
        <translation>时间</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>状态</translation>
    </message>
    <message>
        <source>Number</source>
        <translation>错误号</translation>
    </message>
    <message>
        <source>Description</source>
        <translation>描述</translation>
    </message>
</context>
<context>
    <name>skyloom::ForecastListModel</name>
    <message>
        <source>Stored</source>
        <translation>写入时间</translation>
    </message>
    <message>
        <source>Forecast</source>
        <translation>预报</translation>
    </message>
</context>
<context>
    <name>skyloom::HistoryWindow</name>
    <message>
        <source>inserted</source>
        <translation>新增</translation>
    </message>
    <message>
        <source>deleted</source>
        <translation>删除</translation>
    </message>
    <message>
        <source>Skyloom History</source>
        <translation>Skyloom 历史记录</translation>
    </message>
    <message>
        <source>Forecasts</source>
        <translation>预报</translation>
    </message>
    <message>
        <source>Attempts</source>
        <translation>获取记录</translation>
    </message>
    <message>
        <source>Timed slots of the last %1 days; hover over a slot for its attempt.</source>
        <translation>最近 %1 天的定时时段；鼠标停在格子上可查看那次获取。</translation>
    </message>
    <message>
        <source>The history could not be read: %1</source>
        <translation>无法读取历史记录：%1</translation>
    </message>
    <message>
        <source>Stored %1, the first forecast stored.</source>
        <translation>%1 写入，是写入的第一条预报。</translation>
    </message>
    <message>
        <source>Stored %1; changes since the forecast of %2: %3</source>
        <translation>%1 写入；与 %2 的预报相比的改动：%3</translation>
    </message>
    <message>
        <source>%1 gusts %2</source>
        <translation>%1阵风%2</translation>
    </message>
    <message>
        <source>gusts %1</source>
        <translation>阵风%1</translation>
    </message>
    <message>
        <source>Bulletin</source>
        <translation>预报</translation>
    </message>
    <message>
        <source>%1, issued at %2:00</source>
        <translation>%1%2点发布</translation>
    </message>
    <message>
        <source>Period</source>
        <translation>时段</translation>
    </message>
    <message>
        <source>Weather</source>
        <translation>天气</translation>
    </message>
    <message>
        <source>Wind</source>
        <translation>风</translation>
    </message>
    <message>
        <source>Lowest</source>
        <translation>最低</translation>
    </message>
    <message>
        <source>Highest</source>
        <translation>最高</translation>
    </message>
    <message>
        <source>Humidity</source>
        <translation>相对湿度</translation>
    </message>
    <message>
        <source>Not read</source>
        <translation>未能识别</translation>
    </message>
</context>
<context>
    <name>skyloom::MainWindow</name>
    <message>
        <source>store error</source>
        <translation>存储出错</translation>
    </message>
    <message>
        <source>nothing extracted: the page has no forecast between the markers</source>
        <translation>未提取到预报：页面上两个标记之间没有预报</translation>
    </message>
    <message>
        <source>Last attempt %1  %2</source>
        <translation>上次获取 %1  %2</translation>
    </message>
    <message>
        <source>History</source>
        <translation>历史</translation>
    </message>
</context>
<context>
    <name>skyloom::SlotPicture</name>
    <message>
        <source>Stored</source>
        <translation>写入新预报</translation>
    </message>
    <message>
        <source>Unchanged</source>
        <translation>预报未变</translation>
    </message>
    <message>
        <source>Nothing extracted</source>
        <translation>未提取到预报</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>获取出错</translation>
    </message>
    <message>
        <source>No attempt</source>
        <translation>未获取</translation>
    </message>
    <message>
        <source>To come</source>
        <translation>未到时间</translation>
    </message>
    <message>
        <source>%1, slot %2 (%3–%4)
%5</source>
        <translation>%1，%2 时段（%3–%4）
%5</translation>
    </message>
</context>
<context>
    <name>skyloom::TrayIntegration</name>
    <message>
        <source>%1: a new forecast</source>
        <translation>%1：新的预报</translation>
    </message>
    <message>
        <source>Standing by: another collector runs the timed fetches</source>
        <translation>待命：定时获取由另一个采集程序进行</translation>
    </message>
</context>
</TS>
