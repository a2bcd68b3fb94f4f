"""One Scrapy crawl, run in a child process (Scrapy's reactor starts once per
process): `python -m gco_testkit.crawl PLAN`, PLAN a JSON object of "settings"
(Scrapy settings), "proxy" (the HTTP proxy every request goes through) and
"rows", {name: [step, ...]}, each step a dict of "url" and maybe "method",
"body", "cookies", "headers" and "meta": a row's steps are requested one after
another (each from the callback of the one before), the rows side by side.

It prints one JSON object: "log", the messages of the cookie middlewares and
every record of WARNING or above, as [logger, level, message]; "responses",
{row: [status, ...]}; "reason", why the crawl finished."""

import json
import logging
import sys


class _Records(logging.Handler):
    WATCHED = ("glimmering_copper_otter.scrapy", "scrapy.downloadermiddlewares.cookies")
    records = []  # one crawl, one handler

    def emit(self, record):
        if record.name in self.WATCHED or record.levelno >= logging.WARNING:
            self.records.append([record.name, record.levelname, record.getMessage()])


def main(plan):
    import scrapy
    from scrapy.crawler import CrawlerProcess

    rows, proxy = plan["rows"], plan["proxy"]
    responses = {name: [] for name in rows}

    def request(name, index):
        step = rows[name][index]
        meta = {"proxy": proxy, "row": name, "index": index, "cookiejar": name,
                **step.get("meta", {})}
        return scrapy.Request(step["url"], method=step.get("method", "GET"),
                              body=step.get("body", ""), cookies=step.get("cookies"),
                              headers=step.get("headers"), meta=meta, dont_filter=True,
                              callback=parse, errback=failed)

    def parse(response):
        name, index = response.meta["row"], response.meta["index"]
        responses[name].append(response.status)
        if index + 1 < len(rows[name]):
            yield request(name, index + 1)

    def failed(failure):
        logging.getLogger("crawl").error("failed: %r", failure.value)

    class Steps(scrapy.Spider):
        name = "steps"

        async def start(self):
            for name in rows:
                yield request(name, 0)

    records = _Records()
    logging.getLogger().addHandler(records)
    settings = {"LOG_ENABLED": False, "TELNETCONSOLE_ENABLED": False,
                "ROBOTSTXT_OBEY": False, "DOWNLOAD_TIMEOUT": 10, "CLOSESPIDER_TIMEOUT": 60,
                "RETRY_ENABLED": False, "HTTPERROR_ALLOW_ALL": True, **plan["settings"]}
    process = CrawlerProcess(settings, install_root_handler=False)
    logging.getLogger().setLevel(logging.DEBUG)
    crawler = process.create_crawler(Steps)
    process.crawl(crawler)
    process.start()
    json.dump({"log": records.records, "responses": responses,
               "reason": crawler.stats.get_value("finish_reason")}, sys.stdout)


if __name__ == "__main__":
    main(json.loads(sys.argv[1]))
