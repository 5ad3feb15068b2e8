#include "DavaRor/ScreenViews/ApplicationScreenViewPublisher.h"

ApplicationScreenViewPublisher& ApplicationScreenViewPublisher::shared() {
    static ApplicationScreenViewPublisher* const publisher = new ApplicationScreenViewPublisher();
    return *publisher;
}
